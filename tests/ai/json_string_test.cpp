// JSON string literals: escapes, dropped control bytes and UTF-8 repair.
#include "ai/json_string.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvex {
namespace {

std::string jsonOf(std::string_view in) {
    FixedText<256> b;
    appendJsonString(b, in);
    EXPECT_FALSE(b.truncated);
    return std::string(b.view());
}

TEST(JsonString, EscapingRules) {
    struct Row {
        std::string in;
        std::string want;
        const char* rule;
    };
    const std::string fffd = "\xEF\xBF\xBD";
    const Row rows[] = {
        {"plain", "\"plain\"", "plain text is copied"},
        {"", "\"\"", "empty text"},
        {std::string("a\tb\x01\"", 5), "\"a\\tb\\\"\"", "tab escaped, 0x01 dropped, quote escaped"},
        {"l\nc\rr", "\"l\\nc\\rr\"", "line feed and carriage return"},
        {"back\\slash", "\"back\\\\slash\"", "backslash doubled"},
        {std::string("\x00\x1f\x7f", 3), "\"\x7f\"", "other control bytes dropped, DEL kept"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
         "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\"",
         "well-formed 2, 3 and 4 byte sequences copied"},
        {"\xE2\x80\x94", "\"\xE2\x80\x94\"", "em dash copied"},
        {"a\x80z", "\"a" + fffd + "z\"", "stray continuation byte"},
        {"\xC0\xAF", "\"" + fffd + fffd + "\"", "overlong lead C0 and its continuation"},
        {"\xE0\x80\x80", "\"" + fffd + fffd + fffd + "\"", "overlong three-byte form"},
        {"\xED\xA0\x80", "\"" + fffd + fffd + fffd + "\"", "UTF-16 surrogate"},
        {"\xF4\x90\x80\x80", "\"" + fffd + fffd + fffd + fffd + "\"", "above U+10FFFF"},
        {"\xF5", "\"" + fffd + "\"", "byte that never starts a sequence"},
        {"x\xE2\x82", "\"x" + fffd + "\"", "sequence cut off at the end is one replacement"},
        {"\xE2\x82"
         "A",
         "\"" + fffd + "A\"", "sequence cut off by ASCII keeps the ASCII"},
        {"\xF0\x9F\x98\"", "\"" + fffd + "\\\"\"", "cut-off sequence before an escaped byte"},
    };
    for (const auto& r : rows) EXPECT_EQ(jsonOf(r.in), r.want) << r.rule;
}

TEST(JsonString, FullBufferIsReported) {
    FixedText<4> b;
    appendJsonString(b, "abcdef");
    EXPECT_TRUE(b.truncated);
    EXPECT_EQ(b.view(), "\"abc");
}

}  // namespace
}  // namespace tarvex
