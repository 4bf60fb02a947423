// mac.cpp: text form of hardware addresses and what their bytes say.
#include "common/mac.h"

#include <cstring>

#include "common/hex.h"

namespace tarvex {

std::string_view formatMac(const u8 mac[6], char out[17]) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (int i = 0; i < 6; ++i) {
        out[i * 3] = kHex[mac[i] >> 4];
        out[i * 3 + 1] = kHex[mac[i] & 0xF];
        if (i < 5) out[i * 3 + 2] = ':';
    }
    return {out, 17};
}

MacText macToString(const u8 mac[6]) {
    MacText t;
    formatMac(mac, t.s);
    return t;
}

std::optional<MacAddr> parseMac(std::string_view text) {
    if (text.size() != 17) return std::nullopt;
    MacAddr mac{};
    for (size_t i = 0; i < 6; ++i) {
        size_t p = i * 3;
        int hi = hexDigit(text[p]);
        int lo = hexDigit(text[p + 1]);
        if (hi < 0 || lo < 0 || (i < 5 && text[p + 2] != ':')) return std::nullopt;
        mac.b[i] = static_cast<u8>(hi * 16 + lo);
    }
    return mac;
}

bool isZeroMac(const u8 mac[6]) {
    for (int i = 0; i < 6; ++i)
        if (mac[i]) return false;
    return true;
}

OuiText macOui(const u8 mac[6]) {
    char full[17];
    formatMac(mac, full);
    OuiText o;
    std::memcpy(o.s, full, 8);
    return o;
}

MacAddr stableHostnameMac(std::string_view hostname) {
    u64 h = 14695981039346656037ull;  // FNV-1a
    for (char c : hostname) {
        h ^= static_cast<u8>(c);
        h *= 1099511628211ull;
    }
    MacAddr m;
    m.b[0] = static_cast<u8>((h & 0xFC) | 0x02);
    for (int k = 1; k < 6; ++k) m.b[k] = static_cast<u8>((h >> (8 * k)) & 0xFF);
    return m;
}

}  // namespace tarvex
