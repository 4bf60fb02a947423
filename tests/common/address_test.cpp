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

TEST(Address, Ipv6LocalTestAndExtraction) {
    struct Case {
        const char* text;
        bool local;
    };
    const Case cases[] = {
        {"::1", true},                 // loopback
        {"fe80::1", true},             // link-local fe80::/10
        {"FEBF:0:0:0:0:0:0:1", true},  // its top, in upper case
        {"fec0::1", false},            // just past it
        {"fc00::5", true},             // unique-local fc00::/7
        {"fd12:3456::9", true},
        {"fe00::1", false},
        {"fd::1", false},  // the first group is 00fd
        {"2001:db8::5", false},
        {"::", false},
        {"::2", false},
        {"::ffff:192.168.1.5", true},  // IPv4-mapped: by its IPv4 part
        {"::ffff:8.8.8.8", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isLocalIp(c.text), c.local) << c.text;

    struct Extract {
        const char* text;
        const char* found;  // canonical; nullptr: none
    };
    const Extract ex[] = {
        {"peer fe80::1%eth0 up", "fe80::1"},
        {"from [FE80:0000:0000:0000:0000:0000:0000:0001]:514", "fe80::1"},
        {"reached 2001:db8::5.", "2001:db8::5"},
        {"at 12:30:45 all well", nullptr},        // a time
        {"mac aa:bb:cc:dd:ee:ff seen", nullptr},  // a MAC address
        {"cafe::1 beside decafe::2", "cafe::1"},  // words are read from their start
        {"xdecafe::2", nullptr},
        {"mapped ::ffff:10.0.0.1 host", "::ffff:10.0.0.1"},
        {"no address here", nullptr},
        {"fd00::1:2:3:4:5:6:7:8:9", nullptr},  // too many groups
    };
    for (const auto& e : ex) {
        auto r = extractIpv6(e.text);
        if (e.found) {
            ASSERT_TRUE(r.has_value()) << e.text;
            EXPECT_EQ(r->view(), e.found) << e.text;
        } else {
            EXPECT_FALSE(r.has_value()) << e.text << " gave " << (r ? r->view() : "");
        }
    }
}

}  // namespace
}  // namespace tarvex
