// Hardware addresses: the text form and what the bytes say.
#include "common/mac.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tarvex {
namespace {

TEST(Mac, ParseTakesSixPairsInEitherCase) {
    struct Case {
        const char* text;
        bool ok;
    };
    const Case cases[] = {
        {"a4:83:e7:12:34:56", true},  {"A4:83:E7:12:34:5f", true},
        {"a4:83:e7:12:34:5", false},  {"a4:83:e7:12:34:567", false},
        {"a4:83:e7:12:34:5g", false}, {"a4:83:e7:12:34:56:", false},
        {"a48:3e:71:23:45:6", false}, {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(parseMac(c.text).has_value(), c.ok) << c.text;
    // The text form is the upper-case one, and parsing it gives the bytes back.
    const u8 bytes[6] = {0xa4, 0x83, 0xe7, 0x12, 0x34, 0x5f};
    EXPECT_EQ(macToString(bytes).view(), "A4:83:E7:12:34:5F");
    auto back = parseMac(macToString(bytes).view());
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(std::memcmp(back->b, bytes, 6), 0);
}

TEST(Mac, StableHostnameMacIsLocallyAdministeredUnicast) {
    MacAddr a = stableHostnameMac("phone");
    MacAddr b = stableHostnameMac("phone");
    MacAddr c = stableHostnameMac("laptop");
    EXPECT_EQ(std::memcmp(a.b, b.b, 6), 0);
    EXPECT_NE(std::memcmp(a.b, c.b, 6), 0);
    EXPECT_EQ(a.b[0] & 0x03, 0x02);
    // FNV-1a of the empty text is the offset basis 0xCBF29CE484222325.
    MacAddr e = stableHostnameMac("");
    const u8 want[6] = {(0x25 & 0xFC) | 0x02, 0x23, 0x22, 0x84, 0xE4, 0x9C};
    EXPECT_EQ(std::memcmp(e.b, want, 6), 0);
    u8 mac[6] = {0x3c, 0x22, 0xfb, 1, 2, 3};
    EXPECT_EQ(macOui(mac).view(), "3C:22:FB");
}

}  // namespace
}  // namespace tarvex
