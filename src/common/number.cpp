// number.cpp: decimal integer and float readers.
#include "common/number.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tarvex {

Result<u64> parseDecimalDigits(std::string_view text, u64 max) {
    if (text.empty() || text.front() == '_' || text.back() == '_') return Err::InvalidCharacter;
    u64 value = 0;
    bool overflow = false;
    char prev = 0;
    for (char c : text) {
        if (c == '_') {
            if (prev == '_') return Err::InvalidCharacter;
            prev = c;
            continue;
        }
        if (c < '0' || c > '9') return Err::InvalidCharacter;
        prev = c;
        if (overflow) continue;  // keep scanning: a later bad character wins
        u64 d = static_cast<u64>(c - '0');
        if (value > (max - d) / 10) {
            overflow = true;
            continue;
        }
        value = value * 10 + d;
    }
    if (overflow) return Err::Overflow;
    return value;
}

Result<u64> parseUnsignedDecimal(std::string_view text, u64 max) {
    if (text.empty()) return Err::InvalidCharacter;
    bool negative = false;
    if (text[0] == '+' || text[0] == '-') {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    Result<u64> r = parseDecimalDigits(text, max);
    if (!r.ok()) return r;
    if (negative && r.value != 0) return Err::Overflow;
    return r;
}

Result<i64> parseSignedDecimal(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    constexpr u64 kMaxPositive = 9223372036854775807ull;
    Result<u64> r = parseDecimalDigits(text, negative ? kMaxPositive + 1 : kMaxPositive);
    if (!r.ok()) return r.err;
    if (!negative) return static_cast<i64>(r.value);
    if (r.value == kMaxPositive + 1) return INT64_MIN;
    return -static_cast<i64>(r.value);
}

namespace {

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != b[i]) return false;
    }
    return true;
}

}  // namespace

Result<f32> parseFloat32(std::string_view text) {
    bool negative = false;
    std::string_view body = text;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    if (body.empty()) return Err::InvalidCharacter;
    if (equalsNoCase(body, "inf") || equalsNoCase(body, "infinity")) {
        return negative ? -INFINITY : INFINITY;
    }
    if (equalsNoCase(body, "nan")) return negative ? -NAN : NAN;

    std::chars_format fmt = std::chars_format::general;
    if (body.size() > 2 && body[0] == '0' && (body[1] == 'x' || body[1] == 'X')) {
        fmt = std::chars_format::hex;
        body.remove_prefix(2);
    }
    // from_chars accepts no sign of its own and neither do we past this point.
    if (body.empty() || body[0] == '+' || body[0] == '-') return Err::InvalidCharacter;
    float v = 0;
    auto r = std::from_chars(body.data(), body.data() + body.size(), v, fmt);
    if (r.ptr != body.data() + body.size()) return Err::InvalidCharacter;
    if (r.ec == std::errc::result_out_of_range) {
        // Syntax is valid; let strtof give the correctly rounded infinity,
        // zero or subnormal (rare path: an allocation is acceptable here).
        std::string copy(text);
        return std::strtof(copy.c_str(), nullptr);
    } else if (r.ec != std::errc()) {
        return Err::InvalidCharacter;
    }
    return negative ? -v : v;
}

}  // namespace tarvex
