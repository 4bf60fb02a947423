// base64.h: standard Base64 (RFC 4648, with padding), encoding only.
#pragma once

#include <string_view>

#include "common/types.h"

namespace tarvex {

// Bytes needed to encode `n` bytes.
constexpr size_t base64Size(size_t n) {
    return (n + 2) / 3 * 4;
}

// Encodes `in` into `out` (base64Size(in.size()) bytes); returns the length.
size_t base64Encode(std::string_view in, char* out);

}  // namespace tarvex
