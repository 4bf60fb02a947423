// text.h: bounded text fields.
//
// Every text field of a record is a fixed byte array with a separate length.
// copyBounded cuts longer input to the array's size without a message; view
// returns the used part.
#pragma once

#include <algorithm>
#include <cstring>
#include <string_view>

#include "common/types.h"

namespace tarvex {

// Copies at most N bytes of `src` into `dst` and stores the count in `len`.
// Returns the number of bytes copied.
template <size_t N, class L>
inline size_t copyBounded(char (&dst)[N], L& len, std::string_view src) {
    size_t n = std::min(src.size(), N);
    if (n) std::memcpy(dst, src.data(), n);
    len = static_cast<L>(n);
    return n;
}

// The used part of a bounded text field.
template <size_t N, class L>
inline std::string_view view(const char (&buf)[N], L len) {
    return std::string_view(buf, std::min<size_t>(static_cast<size_t>(len), N));
}

// Plain case-sensitive substring test.
inline bool contains(std::string_view hay, std::string_view needle) {
    return hay.find(needle) != std::string_view::npos;
}

}  // namespace tarvex
