// message.cpp: requests, responses and query strings.
#include "http/message.h"

#include <cstring>

#include "common/format.h"
#include "common/hex.h"

namespace tarvex {

namespace {

// Decodes one side of a query pair; copies into the arena only when needed.
Err decodeQueryPart(std::string_view in, std::string_view& out, Arena& arena) {
    bool plain = true;
    for (char c : in) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return Err::InvalidCharacter;
        if (c == '%' || c == '+') plain = false;
    }
    if (plain) {
        out = in;
        return Err::None;
    }
    auto* buf = static_cast<char*>(arena.alloc(in.size(), 1));
    if (!buf) return Err::OutOfMemory;
    size_t n = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '+') {
            buf[n++] = ' ';
        } else if (c == '%') {
            if (i + 2 >= in.size()) return Err::InvalidCharacter;
            int hi = hexDigit(in[i + 1]);
            int lo = hexDigit(in[i + 2]);
            if (hi < 0 || lo < 0) return Err::InvalidCharacter;
            buf[n++] = static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            buf[n++] = c;
        }
    }
    out = {buf, n};
    return Err::None;
}

}  // namespace

std::string_view QueryParams::get(std::string_view name, bool* found) const {
    for (u32 i = 0; i < count; ++i) {
        if (items[i].name == name) {
            if (found) *found = true;
            return items[i].value;
        }
    }
    if (found) *found = false;
    return {};
}

Err parseQueryString(std::string_view qs, QueryParams& out, Arena& arena) {
    out.count = 0;
    while (!qs.empty()) {
        size_t amp = qs.find('&');
        std::string_view piece = qs.substr(0, amp);
        qs = amp == std::string_view::npos ? std::string_view{} : qs.substr(amp + 1);
        if (piece.empty()) continue;
        size_t eq = piece.find('=');
        std::string_view name = piece.substr(0, eq);
        std::string_view value =
            eq == std::string_view::npos ? std::string_view{} : piece.substr(eq + 1);
        if (name.empty()) return Err::InvalidCharacter;
        if (out.count == kMaxQueryParams) return Err::Overflow;
        QueryParam& p = out.items[out.count];
        if (Err e = decodeQueryPart(name, p.name, arena); e != Err::None) return e;
        if (Err e = decodeQueryPart(value, p.value, arena); e != Err::None) return e;
        ++out.count;
    }
    return Err::None;
}

std::string_view HttpRequest::param(std::string_view name) const {
    for (u32 i = 0; i < param_count; ++i)
        if (params[i].name == name) return params[i].value;
    return {};
}

Result<const QueryParams*> HttpRequest::query() {
    if (!query_parsed_) {
        query_parsed_ = true;
        query_err_ = parseQueryString(head.query, query_, *arena);
    }
    if (query_err_ != Err::None) return query_err_;
    return static_cast<const QueryParams*>(&query_);
}

void HttpRequest::resetForDispatch(Arena* a) {
    arena = a;
    param_count = 0;
    query_parsed_ = false;
    query_err_ = Err::None;
    query_.count = 0;
}

std::string_view contentTypeHeader(ContentType t) {
    switch (t) {
        case ContentType::none:
            return {};
        case ContentType::json:
            return "Content-Type: application/json; charset=UTF-8\r\n";
        case ContentType::text:
            return "Content-Type: text/plain; charset=UTF-8\r\n";
        case ContentType::metrics:  // the Prometheus text exposition format
            return "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n";
        case ContentType::html:
            return "Content-Type: text/html; charset=UTF-8\r\n";
        case ContentType::css:
            return "Content-Type: text/css; charset=UTF-8\r\n";
        case ContentType::javascript:
            return "Content-Type: text/javascript; charset=UTF-8\r\n";
        case ContentType::svg:
            return "Content-Type: image/svg+xml\r\n";
        case ContentType::png:
            return "Content-Type: image/png\r\n";
        case ContentType::icon:
            return "Content-Type: image/x-icon\r\n";
    }
    return {};
}

Err HttpResponse::addHeader(std::string_view name, std::string_view value) {
    if (extra_count_ == kMaxExtraHeaders) return Err::Overflow;
    extra_[extra_count_++] = Header{name, value};
    return Err::None;
}

void HttpResponse::reset() {
    status = 200;
    content_type = ContentType::none;
    fixed_ = {};
    has_fixed_ = false;
    body_.clear();
    extra_count_ = 0;
    ws_ = nullptr;
    ws_user_ = nullptr;
    ws_await_first_ = false;
}

size_t writeResponseHead(const HttpResponse& res, size_t body_len, std::string_view connection,
                         char* out, size_t cap) {
    TextBuf b(out, cap);
    formatInto(b, "HTTP/1.1 {} \r\n", res.status);
    b.append(contentTypeHeader(res.content_type));
    for (u32 i = 0; i < res.extraHeaderCount(); ++i) {
        const Header& h = res.extraHeader(i);
        formatInto(b, "{}: {}\r\n", h.name, h.value);
    }
    if (!connection.empty()) formatInto(b, "Connection: {}\r\n", connection);
    // A 304 has no body by definition; a Content-Length there would have to
    // be that of the full representation, so none is sent.
    if (res.status == 304)
        b.append("\r\n");
    else
        formatInto(b, "Content-Length: {}\r\n\r\n", body_len);
    return b.truncated ? 0 : b.len;
}

}  // namespace tarvex
