// url.cpp: parsing of the database connection URL.
#include "pg/url.h"

#include "common/hex.h"
#include "common/number.h"

namespace tarvex {

namespace {

// Splits `s` at the first occurrence of `sep`: returns the head, leaves the
// tail (without the separator) in `s`, or empties `s` when there is none.
std::string_view cutAt(std::string_view& s, char sep) {
    size_t p = s.find(sep);
    std::string_view head = s.substr(0, p);
    s = p == std::string_view::npos ? std::string_view{} : s.substr(p + 1);
    return head;
}

Result<u16> parsePort(std::string_view text) {
    bool digits = !text.empty();
    for (char c : text) digits = digits && c >= '0' && c <= '9';
    if (!digits) return Err::InvalidPort;
    Result<u64> v = parseUnsignedDecimal(text, 65535);
    if (!v.ok() || v.value == 0) return Err::InvalidPort;
    return static_cast<u16>(v.value);
}

Err applyParam(PgConnOptions& o, std::string_view key, std::string_view value) {
    if (key == "sslmode") {
        if (value == "disable") {
            o.sslmode = PgSslMode::disable;
        } else if (value == "require") {
            o.sslmode = PgSslMode::require;
        } else if (value == "verify-full") {
            o.sslmode = PgSslMode::verify_full;
        } else {
            return Err::UnsupportedSSLModeValue;
        }
        return Err::None;
    }
    if (key == "tcp_user_timeout") {
        bool digits = !value.empty();
        for (char c : value) digits = digits && c >= '0' && c <= '9';
        if (!digits) return Err::InvalidCharacter;
        Result<u64> v = parseUnsignedDecimal(value, 0xFFFFFFFFu);
        if (!v.ok()) return v.err;
        o.tcp_user_timeout_ms = static_cast<u32>(v.value);
        return Err::None;
    }
    return Err::UnsupportedConnectionParam;
}

}  // namespace

std::string_view sslModeName(PgSslMode m) {
    switch (m) {
        case PgSslMode::disable:
            return "disable";
        case PgSslMode::require:
            return "require";
        case PgSslMode::verify_full:
            return "verify-full";
    }
    return "disable";
}

Result<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '%') {
            out.push_back(c);
            continue;
        }
        if (i + 2 >= text.size()) return Err::InvalidCharacter;
        int hi = hexDigit(text[i + 1]);
        int lo = hexDigit(text[i + 2]);
        if (hi < 0 || lo < 0) return Err::InvalidCharacter;
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return out;
}

Result<PgConnOptions> parsePgUrl(std::string_view url) {
    PgConnOptions o;
    std::string_view rest;
    if (url.starts_with("postgresql://")) {
        rest = url.substr(13);
    } else if (url.starts_with("postgres://")) {
        rest = url.substr(11);
    } else {
        return Err::InvalidUriScheme;
    }

    // The authority runs to the first '/' or '?'; the query follows '?'.
    size_t auth_end = rest.find_first_of("/?");
    std::string_view authority = rest.substr(0, auth_end);
    std::string_view path;
    std::string_view query;
    if (auth_end != std::string_view::npos) {
        std::string_view tail = rest.substr(auth_end);
        size_t q = tail.find('?');
        path = tail.substr(0, q);
        if (q != std::string_view::npos) query = tail.substr(q + 1);
    }

    // User information ends at the last '@' (a raw '@' in a password is
    // tolerated; the encoded form is %40).
    size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        std::string_view userinfo = authority.substr(0, at);
        authority = authority.substr(at + 1);
        size_t colon = userinfo.find(':');
        Result<std::string> user = percentDecode(userinfo.substr(0, colon));
        if (!user.ok()) return user.err;
        o.user = std::move(user.value);
        if (colon != std::string_view::npos) {
            Result<std::string> pw = percentDecode(userinfo.substr(colon + 1));
            if (!pw.ok()) return pw.err;
            o.password = std::move(pw.value);
        }
    }

    std::string_view host_text;
    std::string_view port_text;
    bool has_port = false;
    if (authority.starts_with('[')) {
        size_t close = authority.find(']');
        if (close == std::string_view::npos) return Err::InvalidCharacter;
        host_text = authority.substr(1, close - 1);
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') return Err::InvalidCharacter;
            port_text = after.substr(1);
            has_port = true;
        }
    } else {
        size_t colon = authority.rfind(':');
        host_text = authority.substr(0, colon);
        if (colon != std::string_view::npos) {
            port_text = authority.substr(colon + 1);
            has_port = true;
        }
    }
    if (!host_text.empty()) {
        Result<std::string> host = percentDecode(host_text);
        if (!host.ok()) return host.err;
        if (!host.value.empty()) o.host = std::move(host.value);
    }
    if (has_port) {
        Result<u16> port = parsePort(port_text);
        if (!port.ok()) return port.err;
        o.port = port.value;
    }

    if (path.size() > 1) {
        Result<std::string> db = percentDecode(path.substr(1));
        if (!db.ok()) return db.err;
        o.database = std::move(db.value);
    }

    while (!query.empty()) {
        std::string_view pair = cutAt(query, '&');
        if (pair.empty()) continue;
        std::string_view value_text = pair;
        std::string_view key_text = cutAt(value_text, '=');
        Result<std::string> key = percentDecode(key_text);
        if (!key.ok()) return key.err;
        Result<std::string> value = percentDecode(value_text);
        if (!value.ok()) return value.err;
        Err e = applyParam(o, key.value, value.value);
        if (e != Err::None) return e;
    }
    return o;
}

}  // namespace tarvex
