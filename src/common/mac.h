// mac.h: hardware (MAC) addresses: their text form and what the bytes say.
//
// A device is known by its address everywhere: the fingerprint table keys
// on the six bytes, the graph names a device node by the 17-character
// upper-case text, and the API accepts that text in either case. Pure
// functions; any thread.
#pragma once

#include <optional>
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

// Exactly six ':'-separated pairs of hexadecimal digits, either case.
std::optional<MacAddr> parseMac(std::string_view text);

// All six bytes zero (what some logs write for "no address").
bool isZeroMac(const u8 mac[6]);

// Bit 1 of the first byte: a locally administered (randomised) address.
inline bool isLocallyAdministeredMac(const u8 mac[6]) {
    return (mac[0] & 0x02) != 0;
}

// The vendor prefix: the first three bytes as "AA:BB:CC".
struct OuiText {
    char s[8];
    std::string_view view() const { return {s, 8}; }
};
OuiText macOui(const u8 mac[6]);

// A stable, locally administered unicast MAC derived from a host name, so a
// device that randomises its MAC still keeps one record per host name.
MacAddr stableHostnameMac(std::string_view hostname);

}  // namespace tarvex
