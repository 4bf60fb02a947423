// request.cpp: the HTTP/1.1 request parser.
#include "http/request.h"

#include <cstring>

#include "common/hex.h"

namespace tarvex {

namespace {

bool isTchar(unsigned char c) {
    if (c >= '0' && c <= '9') return true;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
    switch (c) {
        case '!':
        case '#':
        case '$':
        case '%':
        case '&':
        case '\'':
        case '*':
        case '+':
        case '-':
        case '.':
        case '^':
        case '_':
        case '`':
        case '|':
        case '~':
            return true;
        default:
            return false;
    }
}

unsigned char lower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c | 0x20) : c;
}

Method methodFromText(std::string_view m) {
    struct Entry {
        std::string_view text;
        Method method;
    };
    static constexpr Entry kMethods[] = {
        {"GET", Method::get},         {"HEAD", Method::head},       {"POST", Method::post},
        {"PUT", Method::put},         {"PATCH", Method::patch},     {"DELETE", Method::delete_},
        {"OPTIONS", Method::options}, {"CONNECT", Method::connect}, {"TRACE", Method::trace},
    };
    for (const Entry& e : kMethods)
        if (e.text == m) return e.method;
    return Method::other;
}

std::string_view trimOws(std::string_view v) {
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
    return v;
}

// Finds the end of the header block ("\r\n\r\n") within the first `limit`
// bytes; returns the offset just past it, or 0.
size_t findHeadEnd(std::string_view in, size_t limit) {
    size_t n = in.size() < limit ? in.size() : limit;
    const char* p = in.data();
    for (size_t i = 0; i + 3 < n;) {
        const void* cr = std::memchr(p + i, '\r', n - 3 - i);
        if (!cr) return 0;
        i = static_cast<size_t>(static_cast<const char*>(cr) - p);
        if (p[i + 1] == '\n' && p[i + 2] == '\r' && p[i + 3] == '\n') return i + 4;
        ++i;
    }
    return 0;
}

bool parseRequestLine(std::string_view line, RequestHead& out) {
    size_t sp1 = line.find(' ');
    if (sp1 == std::string_view::npos || sp1 == 0) return false;
    std::string_view method = line.substr(0, sp1);
    for (char c : method)
        if (!isTchar(static_cast<unsigned char>(c))) return false;
    size_t sp2 = line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || sp2 == sp1 + 1) return false;
    std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string_view version = line.substr(sp2 + 1);
    if (version.size() != 8 || version.substr(0, 7) != "HTTP/1.") return false;
    if (version[7] != '0' && version[7] != '1') return false;
    for (char c : target) {
        auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F) return false;
    }
    if (target != "*" && target.front() != '/') return false;

    out.method_text = method;
    out.method = methodFromText(method);
    out.target = target;
    out.version_minor = static_cast<u8>(version[7] - '0');
    size_t q = target.find('?');
    if (q == std::string_view::npos) {
        out.path = target;
        out.query = {};
    } else {
        out.path = target.substr(0, q);
        out.query = target.substr(q + 1);
    }
    return true;
}

// Parses one header line into name and value; false when malformed.
bool parseHeaderLine(std::string_view line, Header& h) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    std::string_view name = line.substr(0, colon);
    for (char c : name)
        if (!isTchar(static_cast<unsigned char>(c))) return false;
    std::string_view value = line.substr(colon + 1);
    for (char c : value) {
        auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && u != '\t') || u == 0x7F) return false;
    }
    h.name = name;
    h.value = trimOws(value);
    return true;
}

// Reads a Content-Length value: digits only. Values past the body limit
// saturate to kMaxBodyBytes + 1 so the caller answers 413.
bool parseContentLength(std::string_view v, size_t& out) {
    if (v.empty()) return false;
    size_t n = 0;
    for (char c : v) {
        if (c < '0' || c > '9') return false;
        if (n <= kMaxBodyBytes) n = n * 10 + static_cast<size_t>(c - '0');
    }
    out = n > kMaxBodyBytes ? kMaxBodyBytes + 1 : n;
    return true;
}

enum class ChunkScan : u8 { incomplete, complete, invalid, too_big };

// Walks a chunked body starting at `in`; on completion `end` is the offset
// just past the trailer section.
ChunkScan scanChunked(std::string_view in, size_t& end) {
    size_t pos = 0;
    size_t decoded = 0;
    for (;;) {
        // chunk-size
        size_t size = 0;
        size_t digits = 0;
        while (pos < in.size()) {
            int h = hexDigit(in[pos]);
            if (h < 0) break;
            if (++digits > 8) return ChunkScan::too_big;
            size = size * 16 + static_cast<size_t>(h);
            ++pos;
        }
        if (pos == in.size()) return ChunkScan::incomplete;
        if (digits == 0) return ChunkScan::invalid;
        // chunk-ext: skipped up to the line end, without control bytes.
        size_t eol = in.find("\r\n", pos);
        if (eol == std::string_view::npos) {
            for (size_t i = pos; i < in.size(); ++i) {
                auto u = static_cast<unsigned char>(in[i]);
                if (u != '\r' && ((u < 0x20 && u != '\t') || u == 0x7F)) return ChunkScan::invalid;
            }
            return ChunkScan::incomplete;
        }
        if (eol != pos) {
            if (in[pos] != ';' && in[pos] != ' ' && in[pos] != '\t') return ChunkScan::invalid;
            for (size_t i = pos; i < eol; ++i) {
                auto u = static_cast<unsigned char>(in[i]);
                if ((u < 0x20 && u != '\t') || u == 0x7F) return ChunkScan::invalid;
            }
        }
        pos = eol + 2;
        if (size == 0) break;
        decoded += size;
        if (decoded > kMaxBodyBytes) return ChunkScan::too_big;
        if (in.size() - pos < size + 2) return ChunkScan::incomplete;
        pos += size;
        if (in[pos] != '\r' || in[pos + 1] != '\n') return ChunkScan::invalid;
        pos += 2;
    }
    // trailer section: header lines up to an empty line.
    for (;;) {
        size_t eol = in.find("\r\n", pos);
        if (eol == std::string_view::npos) return ChunkScan::incomplete;
        if (eol == pos) {
            end = pos + 2;
            return ChunkScan::complete;
        }
        Header ignored;
        if (!parseHeaderLine(in.substr(pos, eol - pos), ignored)) return ChunkScan::invalid;
        pos = eol + 2;
    }
}

}  // namespace

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool headerHasToken(std::string_view list, std::string_view token) {
    while (!list.empty()) {
        size_t comma = list.find(',');
        std::string_view item = trimOws(list.substr(0, comma));
        if (equalsIgnoreCase(item, token)) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

std::string_view RequestHead::header(std::string_view name, bool* found) const {
    for (u32 i = 0; i < header_count; ++i) {
        if (equalsIgnoreCase(headers[i].name, name)) {
            if (found) *found = true;
            return headers[i].value;
        }
    }
    if (found) *found = false;
    return {};
}

ParseResult parseRequest(std::string_view in, RequestHead& out) {
    ParseResult r;
    size_t head_end = findHeadEnd(in, kMaxHeaderBytes);
    if (head_end == 0) {
        // A request line must start with a method token; refuse garbage early
        // rather than buffering 64 KiB of it.
        for (size_t i = 0; i < in.size(); ++i) {
            auto c = static_cast<unsigned char>(in[i]);
            if (c == ' ') {
                if (i == 0) r.status = ParseStatus::invalid;
                break;
            }
            if (!isTchar(c)) {
                r.status = ParseStatus::invalid;
                return r;
            }
        }
        if (r.status == ParseStatus::invalid) return r;
        // A request line without an HTTP/1.x version (HTTP/0.9's "GET /")
        // or otherwise malformed is refused as soon as it is whole.
        if (const void* cr = std::memchr(in.data(), '\r', in.size())) {
            size_t eol = static_cast<size_t>(static_cast<const char*>(cr) - in.data());
            RequestHead probe;
            if (eol + 1 < in.size() && !parseRequestLine(in.substr(0, eol), probe)) {
                r.status = ParseStatus::invalid;
                return r;
            }
        }
        // A bare line feed can never end the head; refuse it now.
        for (size_t i = 0; i < in.size(); ++i) {
            const void* lf = std::memchr(in.data() + i, '\n', in.size() - i);
            if (!lf) break;
            i = static_cast<size_t>(static_cast<const char*>(lf) - in.data());
            if (i == 0 || in[i - 1] != '\r') {
                r.status = ParseStatus::invalid;
                return r;
            }
        }
        if (in.size() >= kMaxHeaderBytes) r.status = ParseStatus::header_too_big;
        return r;
    }

    out.header_count = 0;
    out.chunked = false;
    out.has_body = false;
    out.content_length = 0;
    out.body_raw = {};

    std::string_view head = in.substr(0, head_end - 2);  // keeps each line's CRLF
    size_t eol = head.find("\r\n");
    std::string_view line = head.substr(0, eol);
    for (char c : line) {
        if (c == '\r' || c == '\n') {
            r.status = ParseStatus::invalid;
            return r;
        }
    }
    if (!parseRequestLine(line, out)) {
        r.status = ParseStatus::invalid;
        return r;
    }

    bool have_length = false;
    bool have_te = false;
    bool conn_close = false;
    bool conn_keep_alive = false;
    size_t pos = eol + 2;
    while (pos < head.size()) {
        size_t e = head.find("\r\n", pos);
        std::string_view hl = head.substr(pos, e - pos);
        pos = e + 2;
        if (hl.find('\r') != std::string_view::npos || hl.find('\n') != std::string_view::npos) {
            r.status = ParseStatus::invalid;
            return r;
        }
        if (out.header_count == kMaxHeaderLines) {
            r.status = ParseStatus::header_too_big;
            return r;
        }
        Header& h = out.headers[out.header_count];
        if (!parseHeaderLine(hl, h)) {
            r.status = ParseStatus::invalid;
            return r;
        }
        ++out.header_count;
        if (equalsIgnoreCase(h.name, "content-length")) {
            size_t n = 0;
            if (!parseContentLength(h.value, n) || (have_length && n != out.content_length)) {
                r.status = ParseStatus::invalid;
                return r;
            }
            have_length = true;
            out.content_length = n;
        } else if (equalsIgnoreCase(h.name, "transfer-encoding")) {
            if (have_te || !equalsIgnoreCase(h.value, "chunked")) {
                r.status = ParseStatus::invalid;
                return r;
            }
            have_te = true;
        } else if (equalsIgnoreCase(h.name, "connection")) {
            if (headerHasToken(h.value, "close")) conn_close = true;
            if (headerHasToken(h.value, "keep-alive")) conn_keep_alive = true;
        }
    }
    if (have_te && (have_length || out.version_minor == 0)) {
        r.status = ParseStatus::invalid;
        return r;
    }
    out.keep_alive = out.version_minor == 1 ? !conn_close : (conn_keep_alive && !conn_close);
    r.head_done = true;

    std::string_view rest = in.substr(head_end);
    if (have_te) {
        out.chunked = true;
        out.has_body = true;
        size_t end = 0;
        switch (scanChunked(rest, end)) {
            case ChunkScan::incomplete:
                if (rest.size() > kMaxChunkedBytes) r.status = ParseStatus::body_too_big;
                return r;
            case ChunkScan::invalid:
                r.status = ParseStatus::invalid;
                return r;
            case ChunkScan::too_big:
                r.status = ParseStatus::body_too_big;
                return r;
            case ChunkScan::complete:
                if (end > kMaxChunkedBytes) {
                    r.status = ParseStatus::body_too_big;
                    return r;
                }
                out.body_raw = rest.substr(0, end);
                r.status = ParseStatus::complete;
                r.consumed = head_end + end;
                return r;
        }
        return r;
    }
    if (have_length) {
        if (out.content_length > kMaxBodyBytes) {
            r.status = ParseStatus::body_too_big;
            return r;
        }
        out.has_body = out.content_length > 0;
        if (rest.size() < out.content_length) return r;
        out.body_raw = rest.substr(0, out.content_length);
    }
    r.status = ParseStatus::complete;
    r.consumed = head_end + out.body_raw.size();
    return r;
}

size_t decodeChunked(std::string_view raw, char* out) {
    size_t pos = 0;
    size_t len = 0;
    while (pos < raw.size()) {
        size_t size = 0;
        int h;
        while (pos < raw.size() && (h = hexDigit(raw[pos])) >= 0) {
            size = size * 16 + static_cast<size_t>(h);
            ++pos;
        }
        size_t eol = raw.find("\r\n", pos);
        if (eol == std::string_view::npos || size == 0) break;
        pos = eol + 2;
        if (size > raw.size() - pos) break;  // not produced by parseRequest
        std::memmove(out + len, raw.data() + pos, size);
        len += size;
        pos += size + 2;
    }
    return len;
}

}  // namespace tarvex
