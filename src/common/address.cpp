// address.cpp: the local-address test and IPv4 and IPv6 extraction on text.
#include "common/address.h"

#include "common/hex.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstring>

namespace tarvex {

namespace {

// A decimal octet-ish number (at most 3 digits, 0..255) between the first and
// second dots of an address text, or -1.
int secondOctet(std::string_view text) {
    size_t first = text.find('.');
    if (first == std::string_view::npos) return -1;
    size_t second = text.find('.', first + 1);
    if (second == std::string_view::npos) return -1;
    std::string_view part = text.substr(first + 1, second - first - 1);
    if (part.empty() || part.size() > 3) return -1;
    int v = 0;
    for (char c : part) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v <= 255 ? v : -1;
}

bool isHexOrColon(char c) {
    return c == ':' || hexDigit(c) >= 0;
}

// The IPv6 local ranges, by the first group of the text.
bool isLocalIpv6(std::string_view text) {
    if (text == "::1") return true;
    if (text.size() > 7 && (text.substr(0, 7) == "::ffff:" || text.substr(0, 7) == "::FFFF:") &&
        text.find(':', 7) == std::string_view::npos) {
        return isLocalIp(text.substr(7));
    }
    // fe80::/10 and fc00::/7 need a full first group of four digits.
    if (text.size() < 5 || text[4] != ':') return false;
    int g[4];
    for (int k = 0; k < 4; ++k) {
        g[k] = hexDigit(text[k]);
        if (g[k] < 0) return false;
    }
    if (g[0] == 0xf && g[1] == 0xe && g[2] >= 0x8 && g[2] <= 0xb) return true;  // fe80::/10
    return g[0] == 0xf && (g[1] == 0xc || g[1] == 0xd);                         // fc00::/7
}

}  // namespace

bool canonicalIpv6(std::string_view text, char out[46], unsigned char& len) {
    char z[64];
    if (text.empty() || text.size() >= sizeof z) return false;
    std::memcpy(z, text.data(), text.size());
    z[text.size()] = '\0';
    in6_addr a;
    if (inet_pton(AF_INET6, z, &a) != 1) return false;
    if (!inet_ntop(AF_INET6, &a, out, 46)) return false;
    len = static_cast<unsigned char>(std::strlen(out));
    return true;
}

std::optional<Ipv6Result> extractIpv6(std::string_view text) {
    size_t pos = 0;
    while (pos < text.size()) {
        if (!isHexOrColon(text[pos])) {
            ++pos;
            continue;
        }
        // A run of hex digits and colons, then perhaps a dotted IPv4 tail.
        size_t end = pos, colons = 0;
        while (end < text.size() && (isHexOrColon(text[end]) || text[end] == '.')) {
            if (text[end] == ':') ++colons;
            ++end;
        }
        // A word that merely ends in hex letters ("cafe:") must not be read
        // from its middle: runs start at a word boundary.
        const bool boundary =
            pos == 0 || !(std::isalnum(static_cast<unsigned char>(text[pos - 1])));
        Ipv6Result r;
        if (boundary && colons >= 2 && end - pos <= 45) {
            std::string_view cand = text.substr(pos, end - pos);
            // A sentence may end right after the address.
            while (!cand.empty() && cand.back() == '.') cand.remove_suffix(1);
            if (canonicalIpv6(cand, r.text, r.len)) {
                r.span = pos + cand.size();
                return r;
            }
        }
        pos = end;
    }
    return std::nullopt;
}

bool isLocalIp(std::string_view text) {
    if (text.size() < 3) return false;
    if (text.find(':') != std::string_view::npos) return isLocalIpv6(text);
    if (text.starts_with("10.") || text.starts_with("127.") || text.starts_with("192.168.") ||
        text.starts_with("169.254.")) {
        return true;
    }
    if (text.starts_with("172.")) {
        int o = secondOctet(text);
        return o >= 16 && o <= 31;
    }
    if (text.starts_with("100.")) {
        int o = secondOctet(text);
        return o >= 64 && o <= 127;
    }
    return false;
}

std::optional<Ipv4Result> extractIpv4(std::string_view text) {
    size_t pos = 0;
    while (pos < text.size()) {
        char c = text[pos];
        if (c < '0' || c > '9') {
            ++pos;
            continue;
        }
        // Read up to four dot-separated digit groups from pos.
        size_t i = pos;
        int dots = 0;
        bool ok = true;
        size_t group_start = i;
        for (;;) {
            while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
            size_t glen = i - group_start;
            bool dot_next = i < text.size() && text[i] == '.' && dots < 3;
            if (dot_next) {
                // A group ended by a dot: 1 to 3 digits, at most 255.
                if (glen == 0 || glen > 3) {
                    ok = false;
                    break;
                }
                int v = 0;
                for (size_t k = group_start; k < i; ++k) v = v * 10 + (text[k] - '0');
                if (v > 255) {
                    ok = false;
                    break;
                }
                ++dots;
                ++i;
                group_start = i;
                continue;
            }
            // The last group: valid only after three dots, 1 to 3 digits, <= 255.
            if (dots != 3 || glen == 0 || glen > 3) {
                ok = false;
                break;
            }
            int v = 0;
            for (size_t k = group_start; k < i; ++k) v = v * 10 + (text[k] - '0');
            if (v > 255) ok = false;
            break;
        }
        if (ok) return Ipv4Result{text.substr(pos, i - pos), i};
        ++pos;
    }
    return std::nullopt;
}

}  // namespace tarvex
