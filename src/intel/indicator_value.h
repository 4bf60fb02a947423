// indicator_value.h: what an indicator's text is, and its one spelling.
//
// A threat list names the same thing in many ways ("EVIL.example.",
// "10.0.0.7/8", an upper-case hash); matching and duplicate detection need
// one form. normalizeIndicator checks a value against its type and writes
// that form; inferIndicatorType guesses the type of a bare value, as a
// plain list gives it. parseAddress reads an IPv4 or IPv6 address into
// bytes for the prefix index. Pure functions, no allocation; any thread.
#pragma once

#include <optional>
#include <string_view>

#include "common/types.h"
#include "intel/indicator.h"

namespace tarvex {

// An address as 16 bytes: IPv4 in the first four (family 4), IPv6 in all
// sixteen (family 6).
struct IpBytes {
    u8 b[16];
    u8 family;  // 4 or 6
};

// Reads a whole text as an IPv4 address (four decimal groups of at most 3
// digits, each 0-255) or an IPv6 address; nothing otherwise. An IPv4-mapped
// IPv6 address reads as the IPv4 address it carries.
std::optional<IpBytes> parseAddress(std::string_view text);

// The type a bare value reads as: ip (an IPv4 or IPv6 address), cidr
// (address/length), url (scheme://..., or a host and a path), hash_md5, hash_sha1, hash_sha256 (32,
// 40, 64 hexadecimal digits), email (local@domain), domain (at least two labels of letters, digits,
// '-' and '_'); nothing for anything else.
std::optional<IndicatorType> inferIndicatorType(std::string_view value);

// The one spelling of a value of type `t`, into out (256 bytes); false when
// the value is not one of that type. Addresses in their canonical text; a
// network as its first address, "/" and the length (host bits cleared);
// domains and e-mail addresses lower-case without a trailing dot (a leading
// "*." is dropped); hashes lower-case; a URL without its scheme, its host
// lower-case, the rest as written.
bool normalizeIndicator(IndicatorType t, std::string_view value, char (&out)[256], u16& out_len);

// The form of a URL used for matching: as normalizeIndicator writes it.
// False when it is not a URL.
inline bool normalizeUrl(std::string_view value, char (&out)[256], u16& out_len) {
    return normalizeIndicator(IndicatorType::url, value, out, out_len);
}

}  // namespace tarvex
