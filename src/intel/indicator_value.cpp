// indicator_value.cpp: address reading, type inference and normal forms.
#include "intel/indicator_value.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

namespace tarvex {

namespace {

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool allHex(std::string_view v) {
    for (char c : v)
        if (!isHex(c)) return false;
    return !v.empty();
}

std::optional<IpBytes> parseIpv4(std::string_view t) {
    IpBytes out{};
    out.family = 4;
    size_t pos = 0;
    for (int group = 0; group < 4; ++group) {
        if (group > 0) {
            if (pos >= t.size() || t[pos] != '.') return std::nullopt;
            ++pos;
        }
        unsigned v = 0;
        size_t digits = 0;
        while (pos < t.size() && t[pos] >= '0' && t[pos] <= '9' && digits < 4) {
            v = v * 10 + static_cast<unsigned>(t[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || digits > 3 || v > 255) return std::nullopt;
        out.b[group] = static_cast<u8>(v);
    }
    if (pos != t.size()) return std::nullopt;
    return out;
}

// A domain name: labels of letters, digits, '-' and '_' (1 to 63 bytes,
// not starting or ending with '-'), at least two of them, the last not all
// digits. `v` is already lower-case without a trailing dot.
bool isDomain(std::string_view v) {
    if (v.empty() || v.size() > 253) return false;
    size_t labels = 0;
    size_t start = 0;
    bool last_numeric = true;
    for (size_t i = 0; i <= v.size(); ++i) {
        if (i == v.size() || v[i] == '.') {
            size_t len = i - start;
            if (len == 0 || len > 63) return false;
            if (v[start] == '-' || v[i - 1] == '-') return false;
            ++labels;
            last_numeric = true;
            for (size_t k = start; k < i; ++k)
                if (v[k] < '0' || v[k] > '9') last_numeric = false;
            start = i + 1;
            continue;
        }
        char c = v[i];
        bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!ok) return false;
    }
    return labels >= 2 && !last_numeric;
}

// Lower-cases `v` into out, dropping a trailing dot and a leading "*.".
size_t lowerName(std::string_view v, char (&out)[256]) {
    if (v.size() >= 2 && v[0] == '*' && v[1] == '.') v.remove_prefix(2);
    if (!v.empty() && v.back() == '.') v.remove_suffix(1);
    if (v.size() > 255) return 0;
    for (size_t i = 0; i < v.size(); ++i) out[i] = lower(v[i]);
    return v.size();
}

bool writeAddress(const IpBytes& a, char* dst, size_t cap, size_t& n) {
    char buf[INET6_ADDRSTRLEN];
    if (!inet_ntop(a.family == 4 ? AF_INET : AF_INET6, a.b, buf, sizeof buf)) return false;
    n = std::strlen(buf);
    if (n > cap) return false;
    std::memcpy(dst, buf, n);
    return true;
}

bool normalizeCidr(std::string_view v, char (&out)[256], u16& len) {
    size_t slash = v.find('/');
    if (slash == std::string_view::npos) return false;
    auto addr = parseAddress(v.substr(0, slash));
    std::string_view bits = v.substr(slash + 1);
    if (!addr || bits.empty() || bits.size() > 3) return false;
    unsigned n = 0;
    for (char c : bits) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    // An IPv4-mapped IPv6 network is read as the IPv4 network it covers.
    if (addr->family == 4 && v.find(':') != std::string_view::npos) {
        if (n < 96) return false;
        n -= 96;
    }
    unsigned max = addr->family == 4 ? 32 : 128;
    if (n > max) return false;
    for (unsigned bit = n; bit < max; ++bit)
        addr->b[bit / 8] &= static_cast<u8>(~(0x80u >> (bit % 8)));
    size_t w = 0;
    if (!writeAddress(*addr, out, sizeof out - 4, w)) return false;
    int extra = std::snprintf(out + w, 5, "/%u", n);
    len = static_cast<u16>(w + static_cast<size_t>(extra));
    return true;
}

bool normalizeUrlText(std::string_view v, char (&out)[256], u16& len) {
    // A scheme ends at the first "://", and only before the path starts.
    size_t scheme = v.find("://");
    if (scheme != std::string_view::npos && scheme > v.find_first_of("/?#")) {
        scheme = std::string_view::npos;
    }
    if (scheme != std::string_view::npos) {
        for (size_t i = 0; i < scheme; ++i) {
            char c = v[i];
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '+' || c == '-' || c == '.'))
                return false;
        }
        if (scheme == 0) return false;
        v.remove_prefix(scheme + 3);
        // A second scheme ("a://b://c") is no URL: it would read differently
        // once written without the first.
        size_t again = v.find("://");
        if (again != std::string_view::npos && again <= v.find_first_of("/?#")) return false;
    }
    if (v.empty() || v.size() > 256) return false;
    size_t host_end = v.find_first_of("/?#");
    if (host_end == std::string_view::npos) host_end = v.size();
    if (host_end == 0) return false;
    for (size_t i = 0; i < v.size(); ++i) {
        auto c = static_cast<unsigned char>(v[i]);
        if (c <= 0x20 || c == 0x7F) return false;
        out[i] = i < host_end ? lower(v[i]) : v[i];
    }
    len = static_cast<u16>(v.size());
    return true;
}

bool normalizeEmail(std::string_view v, char (&out)[256], u16& len) {
    size_t at = v.find('@');
    if (at == 0 || at == std::string_view::npos || v.find('@', at + 1) != std::string_view::npos)
        return false;
    for (size_t i = 0; i < at; ++i) {
        auto c = static_cast<unsigned char>(v[i]);
        if (c <= 0x20 || c == 0x7F || c == ',' || c == '<' || c == '>') return false;
    }
    char domain[256];
    size_t n = lowerName(v.substr(at + 1), domain);
    if (!isDomain(std::string_view(domain, n)) || at + 1 + n > 256) return false;
    for (size_t i = 0; i < at; ++i) out[i] = lower(v[i]);
    out[at] = '@';
    std::memcpy(out + at + 1, domain, n);
    len = static_cast<u16>(at + 1 + n);
    return true;
}

}  // namespace

std::optional<IpBytes> parseAddress(std::string_view t) {
    if (t.empty() || t.size() > 45) return std::nullopt;
    if (t.find(':') == std::string_view::npos) return parseIpv4(t);
    char buf[46];
    std::memcpy(buf, t.data(), t.size());
    buf[t.size()] = 0;
    IpBytes out{};
    if (inet_pton(AF_INET6, buf, out.b) != 1) return std::nullopt;
    static constexpr u8 kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(out.b, kMapped, 12) == 0) {
        std::memmove(out.b, out.b + 12, 4);
        std::memset(out.b + 4, 0, 12);
        out.family = 4;
        return out;
    }
    out.family = 6;
    return out;
}

std::optional<IndicatorType> inferIndicatorType(std::string_view v) {
    if (v.empty()) return std::nullopt;
    if (v.find("://") != std::string_view::npos) return IndicatorType::url;
    if (v.find('/') != std::string_view::npos) {
        char out[256];
        u16 len;
        if (normalizeCidr(v, out, len)) return IndicatorType::cidr;
        // A URL written without its scheme: a host, then a path.
        // (Not an address with a bad prefix length such as 10.0.0.0/33.)
        std::string_view host = v.substr(0, v.find('/'));
        std::string_view path = v.substr(host.size() + 1);
        bool numeric = !path.empty();
        for (char c : path) numeric = numeric && c >= '0' && c <= '9';
        if (numeric) return std::nullopt;
        if (parseAddress(host) || normalizeIndicator(IndicatorType::domain, host, out, len))
            return IndicatorType::url;
        return std::nullopt;
    }
    if (parseAddress(v)) return IndicatorType::ip;
    if (allHex(v)) {
        if (v.size() == 32) return IndicatorType::hash_md5;
        if (v.size() == 40) return IndicatorType::hash_sha1;
        if (v.size() == 64) return IndicatorType::hash_sha256;
    }
    char out[256];
    u16 len;
    if (v.find('@') != std::string_view::npos)
        return normalizeEmail(v, out, len) ? std::optional(IndicatorType::email) : std::nullopt;
    if (normalizeIndicator(IndicatorType::domain, v, out, len)) return IndicatorType::domain;
    return std::nullopt;
}

bool normalizeIndicator(IndicatorType t, std::string_view v, char (&out)[256], u16& len) {
    switch (t) {
        case IndicatorType::ip: {
            auto a = parseAddress(v);
            if (!a) return false;
            size_t n = 0;
            if (!writeAddress(*a, out, sizeof out, n)) return false;
            len = static_cast<u16>(n);
            return true;
        }
        case IndicatorType::cidr:
            return normalizeCidr(v, out, len);
        case IndicatorType::domain: {
            size_t n = lowerName(v, out);
            if (!isDomain(std::string_view(out, n))) return false;
            len = static_cast<u16>(n);
            return true;
        }
        case IndicatorType::url:
            return normalizeUrlText(v, out, len);
        case IndicatorType::hash_md5:
        case IndicatorType::hash_sha1:
        case IndicatorType::hash_sha256: {
            size_t want = t == IndicatorType::hash_md5    ? 32
                          : t == IndicatorType::hash_sha1 ? 40
                                                          : 64;
            if (v.size() != want || !allHex(v)) return false;
            for (size_t i = 0; i < v.size(); ++i) out[i] = lower(v[i]);
            len = static_cast<u16>(v.size());
            return true;
        }
        case IndicatorType::email:
            return normalizeEmail(v, out, len);
    }
    return false;
}

}  // namespace tarvex
