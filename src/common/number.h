// number.h: the decimal readers shared by configuration and the log parsers.
#pragma once

#include <string_view>

#include "common/error.h"
#include "common/types.h"

namespace tarvex {

// Reads a base-10 unsigned integer no larger than `max`: an optional leading
// '+', digits, and single '_' separators between digits. A leading '-' is
// accepted only when the magnitude is zero ("-0" is 0; "-1" is Overflow).
// Empty text, a stray character or a misplaced '_' is InvalidCharacter; a
// value above `max` is Overflow.
Result<u64> parseUnsignedDecimal(std::string_view text, u64 max);

// The log parsers' reader: decimal digits only (no sign), single '_'
// separators between digits, leading zeros allowed. Empty text, any other
// character or a misplaced '_' is InvalidCharacter; a value above `max` is
// Overflow. Never allocates.
Result<u64> parseDecimalDigits(std::string_view text, u64 max);

// A signed 64-bit decimal: an optional '+' or '-' followed by what
// parseDecimalDigits accepts; the full i64 range, nothing beyond it.
Result<i64> parseSignedDecimal(std::string_view text);

// Reads the whole text as a 32-bit float, correctly rounded: optional sign,
// decimal digits with optional fraction and exponent, hexadecimal floats with
// a 0x prefix and p exponent, and inf, infinity and nan in any letter case.
// Values beyond the float range become infinity or zero; there is no range
// check. The only failure is InvalidCharacter.
Result<f32> parseFloat32(std::string_view text);

}  // namespace tarvex
