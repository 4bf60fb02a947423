// params.h: reading path parameters and query values.
#pragma once

#include <string_view>

#include "common/types.h"
#include "http/message.h"

namespace tarvex {

constexpr size_t kPercentDecodeBytes = 512;

// Decodes "%XX" escapes (either case) in a path parameter. Text without '%'
// is returned as it is; otherwise the result is written into `buf`: a '%'
// not followed by two hexadecimal digits is kept literally, '+' stays '+',
// and decoding stops after 512 output bytes (the result is that prefix).
std::string_view percentDecode(std::string_view text, char (&buf)[kPercentDecodeBytes]);

// The parameter `name` as an unsigned 32-bit decimal number (digits only),
// or `dflt` when it is absent, empty, not all digits or above 4294967295.
u32 parseQueryU32(const QueryParams& query, std::string_view name, u32 dflt);

// The paging parameters of list endpoints: "limit" (default 50, at most 500)
// and "offset" (default 0).
struct Paging {
    u32 limit;
    u32 offset;
};
Paging parsePaging(const QueryParams& query);

}  // namespace tarvex
