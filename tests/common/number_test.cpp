// number_test.cpp: the digit-only and signed decimal readers of the parsers.
#include "common/number.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace tarvex {
namespace {

TEST(DecimalReaders, DigitsOnly) {
    struct Case {
        const char* text;
        u64 max;
        Err err;
        u64 value;
    };
    const Case cases[] = {
        {"0", 255, Err::None, 0},
        {"256", 255, Err::Overflow, 0},
        {"1_000", 65535, Err::None, 1000},
        {"18446744073709551615", UINT64_MAX, Err::None, UINT64_MAX},
        {"18446744073709551616", UINT64_MAX, Err::Overflow, 0},
        {"99999999999999999999999x", UINT64_MAX, Err::InvalidCharacter, 0},
        {"", 255, Err::InvalidCharacter, 0},
        {"+1", 255, Err::InvalidCharacter, 0},
        {"-0", 255, Err::InvalidCharacter, 0},
        {"1_", 255, Err::InvalidCharacter, 0},
        {"1__0", 255, Err::InvalidCharacter, 0},
    };
    for (const auto& c : cases) {
        Result<u64> r = parseDecimalDigits(c.text, c.max);
        EXPECT_EQ(r.err, c.err) << c.text;
        if (r.ok()) {
            EXPECT_EQ(r.value, c.value) << c.text;
        }
    }
}

TEST(DecimalReaders, Signed64) {
    struct Case {
        const char* text;
        Err err;
        i64 value;
    };
    const Case cases[] = {
        {"-0", Err::None, 0},
        {"+42", Err::None, 42},
        {"-42", Err::None, -42},
        {"9223372036854775807", Err::None, INT64_MAX},
        {"-9223372036854775808", Err::None, INT64_MIN},
        {"9223372036854775808", Err::Overflow, 0},
        {"-9223372036854775809", Err::Overflow, 0},
        {"-1_000", Err::None, -1000},
        {"", Err::InvalidCharacter, 0},
        {"1.5", Err::InvalidCharacter, 0},
    };
    for (const auto& c : cases) {
        Result<i64> r = parseSignedDecimal(c.text);
        EXPECT_EQ(r.err, c.err) << c.text;
        if (r.ok()) {
            EXPECT_EQ(r.value, c.value) << c.text;
        }
    }
}

}  // namespace
}  // namespace tarvex
