// JSON string literals: escapes, dropped control bytes and UTF-8 repair.
#include "ai/json_string.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvex {
namespace {

TEST(JsonString, EscapingRules) {
    const std::string r = "\xEF\xBF\xBD";  // U+FFFD
    struct Row {
        std::string in, want;
        const char* rule;
    };
    const Row rows[] = {
        {std::string("a\tb\x01\"", 5), "\"a\\tb\\\"\"", "tab escaped, 0x01 dropped, quote"},
        {"l\nc\rr\\", "\"l\\nc\\rr\\\\\"", "line feed, carriage return, backslash"},
        {std::string("\x00\x1f\x7f", 3), "\"\x7f\"", "other control bytes dropped, DEL kept"},
        {"\xC3\xA9\xE2\x80\x94\xF0\x9F\x98\x80", "\"\xC3\xA9\xE2\x80\x94\xF0\x9F\x98\x80\"",
         "well-formed 2, 3 and 4 byte sequences copied"},
        {"a\x80z", "\"a" + r + "z\"", "stray continuation byte"},
        {"\xC0\xAF", "\"" + r + r + "\"", "overlong lead C0 and its continuation"},
        {"\xE0\x80\x80", "\"" + r + r + r + "\"", "overlong three-byte form"},
        {"\xED\xA0\x80", "\"" + r + r + r + "\"", "UTF-16 surrogate"},
        {"\xF4\x90\x80\x80", "\"" + r + r + r + r + "\"", "above U+10FFFF"},
        {"\xF5", "\"" + r + "\"", "byte that never starts a sequence"},
        {"x\xE2\x82", "\"x" + r + "\"", "sequence cut off at the end: one replacement"},
        {"\xE2\x82"
         "A",
         "\"" + r + "A\"", "sequence cut off by ASCII keeps the ASCII"},
    };
    for (const auto& row : rows) {
        FixedText<64> b;
        appendJsonString(b, row.in);
        EXPECT_EQ(b.view(), row.want) << row.rule;
    }
    FixedText<4> small;
    appendJsonString(small, "abcdef");
    EXPECT_TRUE(small.truncated) << "a full buffer is reported";
}

}  // namespace
}  // namespace tarvex
