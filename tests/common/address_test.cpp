// The local-address test and IPv4 extraction on text.
#include "common/address.h"

#include <gtest/gtest.h>

namespace tarvex {
namespace {

TEST(Address, LocalTestAndExtraction) {
    struct Case {
        const char* text;
        bool local;
    };
    const Case cases[] = {
        {"10.0.0.1", true},
        {"127.0.0.1", true},
        {"192.168.1.7", true},
        {"169.254.3.4", true},
        {"172.16.0.1", true},
        {"172.31.255.255", true},
        {"172.15.0.1", false},
        {"172.32.0.1", false},
        {"100.64.0.1", true},
        {"100.127.9.9", true},
        {"100.128.0.1", false},
        {"100.63.0.1", false},
        {"172.x.0.1", false},
        {"172.16", false},
        {"8.8.8.8", false},
        {"10", false},
        {"", false},
        {"192.169.0.1", false},
        {"172.1000.0.1", false},
        {"100.064.0.1", true},
    };
    for (const auto& c : cases) EXPECT_EQ(isLocalIp(c.text), c.local) << c.text;

    struct Extract {
        const char* text;
        const char* found;  // nullptr: none
    };
    const Extract ex[] = {
        {"from 1.2.3.4 to", "1.2.3.4"},
        {"1.2.3.4.5", "1.2.3.4"},
        {"300.1.2.3", "00.1.2.3"},
        {"1234.5.6.7", "234.5.6.7"},
        {"1.2.3", nullptr},
        {"1..2.3.4", nullptr},
        {"a.b.c.d", nullptr},
        {"x10.0.0.255y", "10.0.0.255"},
        {"1.2.3.256", nullptr},  // the last group is read whole and is too large
    };
    for (const auto& e : ex) {
        auto r = extractIpv4(e.text);
        if (e.found) {
            ASSERT_TRUE(r.has_value()) << e.text;
            EXPECT_EQ(r->text, e.found) << e.text;
        } else {
            EXPECT_FALSE(r.has_value()) << e.text << " gave " << (r ? r->text : "");
        }
    }
}

}  // namespace
}  // namespace tarvex
