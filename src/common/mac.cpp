// mac.cpp: text form of hardware addresses.
#include "common/mac.h"

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

}  // namespace tarvex
