// address.cpp: the local-address test and IPv4 extraction on text.
#include "common/address.h"

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

}  // namespace

bool isLocalIp(std::string_view text) {
    if (text.size() < 3) return false;
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
