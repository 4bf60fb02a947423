// params.cpp: reading path parameters and query values.
#include "api/params.h"

#include "common/hex.h"

namespace tarvex {

std::string_view percentDecode(std::string_view text, char (&buf)[kPercentDecodeBytes]) {
    if (text.find('%') == std::string_view::npos) return text;
    size_t n = 0;
    for (size_t i = 0; i < text.size() && n < kPercentDecodeBytes; ++i) {
        char c = text[i];
        if (c == '%' && i + 2 < text.size()) {
            int hi = hexDigit(text[i + 1]);
            int lo = hexDigit(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                buf[n++] = static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        buf[n++] = c;
    }
    return {buf, n};
}

u32 parseQueryU32(const QueryParams& query, std::string_view name, u32 dflt) {
    bool found = false;
    std::string_view v = query.get(name, &found);
    if (!found || v.empty() || v.size() > 10) return dflt;
    u64 n = 0;
    for (char c : v) {
        if (c < '0' || c > '9') return dflt;
        n = n * 10 + static_cast<u64>(c - '0');
    }
    return n > 0xFFFFFFFFull ? dflt : static_cast<u32>(n);
}

Paging parsePaging(const QueryParams& query) {
    Paging p;
    p.limit = parseQueryU32(query, "limit", 50);
    if (p.limit > 500) p.limit = 500;
    p.offset = parseQueryU32(query, "offset", 0);
    return p;
}

}  // namespace tarvex
