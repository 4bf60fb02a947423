// mac.h: hardware (MAC) addresses and their text form.
#pragma once

#include <string_view>

#include "common/types.h"

namespace tarvex {

// Six bytes, as on the wire.
struct MacAddr {
    u8 b[6];
};

// Writes the 17-character text form (upper-case hex pairs joined by ':')
// into out, which must hold at least 17 bytes. Returns the view of out.
std::string_view formatMac(const u8 mac[6], char out[17]);

// The same, into an owned 17-byte value.
struct MacText {
    char s[17];
    std::string_view view() const { return {s, 17}; }
};
MacText macToString(const u8 mac[6]);

}  // namespace tarvex
