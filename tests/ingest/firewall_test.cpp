// firewall_test.cpp: rule tags, key=value fields, flags and addresses.
#include "ingest/firewall.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace tarvex {
namespace {

namespace fw = ingest::firewall;
using Action = FirewallEvent::Action;
using Protocol = FirewallEvent::Protocol;

const std::string kLine =
    "Mar  5 10:20:30 gw kernel: [WAN_IN-D-4000] DESCR=\"Block all\" IN=eth8 OUT=eth9 "
    "MAC=aa:bb:cc:dd:ee:ff:11:22:33:44:55:66:08:00 SRC=192.168.1.20 DST=10.0.0.5 LEN=60 "
    "TOS=0x00 TTL=63 PROTO=TCP SPT=51234 DPT=443 WINDOW=64240 SYN URGP=0";

TEST(FirewallParse, GatewayLineReadsEveryField) {
    FirewallEvent ev = fw::parse(kLine);
    EXPECT_TRUE(ev.valid);
    EXPECT_EQ(ev.getChain(), "WAN_IN");
    EXPECT_EQ(ev.action, Action::drop);
    EXPECT_EQ(ev.getDescription(), "Block all");
    EXPECT_EQ(ev.getInIface(), "eth8");
    const u8 dst[6] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    const u8 src[6] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    EXPECT_TRUE(ev.has_macs);
    EXPECT_EQ(0, memcmp(ev.dst_mac, dst, 6));
    EXPECT_EQ(0, memcmp(ev.src_mac, src, 6));
    EXPECT_EQ(ev.getSrcIp(), "192.168.1.20");
    EXPECT_EQ(ev.getDstIp(), "10.0.0.5");
    EXPECT_EQ(ev.protocol, Protocol::tcp);
    EXPECT_EQ(ev.length, 60u);
    EXPECT_EQ(ev.ttl, 63);
    EXPECT_EQ(ev.src_port, 51234);
    EXPECT_EQ(ev.dst_port, 443);
    EXPECT_TRUE(ev.syn);
    EXPECT_FALSE(ev.ack);
}

TEST(FirewallParse, RuleTag) {
    struct Case {
        const char* rule;
        std::string tag;
        std::string chain;
        Action action;
    };
    const Case cases[] = {
        {"D is drop", "[WAN_IN-D-4000]", "WAN_IN", Action::drop},
        {"A is accept", "[LAN_IN-A-10]", "LAN_IN", Action::accept},
        {"R is reject", "[LAN_IN-R-10]", "LAN_IN", Action::reject},
        {"RET is return", "[LAN_IN-RET-2000]", "LAN_IN", Action::ret},
        {"the code is the second-to-last part", "[WAN_LOCAL-default-D]", "WAN_LOCAL",
         Action::unknown},
        {"hyphens inside the chain stay in it", "[source-dest-D-1]", "source-dest", Action::drop},
        {"codes are case-sensitive", "[LAN_IN-d-10]", "LAN_IN", Action::unknown},
        {"one hyphen: whole tag is the chain", "[LAN_IN-10]", "LAN_IN-10", Action::unknown},
        {"no hyphen: whole tag is the chain", "[FORWARD]", "FORWARD", Action::unknown},
        {"leading hyphen counts as one", "[-D]", "-D", Action::unknown},
        {"empty chain before the code", "[-D-1]", "", Action::drop},
        {"chain cut to 32 bytes", "[" + std::string(40, 'c') + "-A-1]", std::string(32, 'c'),
         Action::accept},
    };
    for (const auto& c : cases) {
        FirewallEvent ev = fw::parse("kernel: " + c.tag + " SRC=1.1.1.1 DST=2.2.2.2");
        EXPECT_EQ(ev.getChain(), c.chain) << c.rule;
        EXPECT_EQ(ev.action, c.action) << c.rule;
    }
}

TEST(FirewallParse, UnusableLinesGiveTheDefaultRecord) {
    const char* lines[] = {
        "[A] SRC=",                            // 9 bytes or fewer
        "kernel: SRC=1.1.1.1 DST=2.2.2.2",     // no '['
        "kernel: [A SRC=1.1.1.1 DST=2.2.2.2",  // no ']' after the '['
    };
    for (const char* line : lines) {
        FirewallEvent ev = fw::parse(line);
        EXPECT_FALSE(ev.valid) << line;
        EXPECT_EQ(ev.chain_len, 0) << line;
        EXPECT_EQ(ev.src_ip_len, 0) << line;
        EXPECT_EQ(ev.action, Action::unknown) << line;
        EXPECT_EQ(ev.protocol, Protocol::unknown) << line;
    }
}

TEST(FirewallParse, FieldsAreReadAfterTheTagOnly) {
    FirewallEvent ev = fw::parse("SRC=9.9.9.9 IN=x [T-A-1] DST=2.2.2.2 LEN=5");
    EXPECT_FALSE(ev.valid);
    EXPECT_EQ(ev.src_ip_len, 0);
    EXPECT_EQ(ev.in_iface_len, 0);
    EXPECT_EQ(ev.getDstIp(), "2.2.2.2");
    EXPECT_EQ(ev.length, 5u);
}

TEST(FirewallParse, Validity) {
    struct Case {
        const char* rule;
        const char* body;
        bool valid;
    };
    const Case cases[] = {
        {"both addresses", "SRC=1.1.1.1 DST=2.2.2.2", true},
        {"IPv6 text is taken as is", "SRC=fe80::1 DST=ff02::1", true},
        {"empty DST value", "SRC=1.1.1.1 DST= LEN=5", false},
        {"empty SRC value at the end", "DST=2.2.2.2 SRC=", false},
        {"no SRC key", "DST=2.2.2.2 LEN=5", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fw::parse(std::string("k: [T-A-1] ") + c.body).valid, c.valid) << c.rule;
    }
}

TEST(FirewallParse, ProtocolAndNumbers) {
    struct Case {
        const char* rule;
        const char* body;
        Protocol protocol;
        u16 src_port;
        u16 dst_port;
        u32 length;
        u8 ttl;
    };
    const Case cases[] = {
        {"protocol in any case", "PROTO=Tcp", Protocol::tcp, 0, 0, 0, 0},
        {"udp", "PROTO=udp", Protocol::udp, 0, 0, 0, 0},
        {"icmp", "PROTO=ICMP", Protocol::icmp, 0, 0, 0, 0},
        {"other protocols are unknown", "PROTO=GRE", Protocol::unknown, 0, 0, 0, 0},
        {"numeric protocol is unknown", "PROTO=47", Protocol::unknown, 0, 0, 0, 0},
        {"ports, length and ttl", "SPT=1 DPT=65535 LEN=4294967295 TTL=255", Protocol::unknown, 1,
         65535, 4294967295u, 255},
        {"a port above 65535 gives 0", "SPT=99999 DPT=70000", Protocol::unknown, 0, 0, 0, 0},
        {"ttl above 255 gives 0", "TTL=256 LEN=4294967296", Protocol::unknown, 0, 0, 0, 0},
        {"underscores between digits", "SPT=1_000", Protocol::unknown, 1000, 0, 0, 0},
        {"non-numeric gives 0", "SPT=abc DPT=-1", Protocol::unknown, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        FirewallEvent ev = fw::parse(std::string("k: [T-A-1] SRC=1 DST=2 ") + c.body);
        SCOPED_TRACE(c.rule);
        EXPECT_EQ(ev.protocol, c.protocol);
        EXPECT_EQ(ev.src_port, c.src_port);
        EXPECT_EQ(ev.dst_port, c.dst_port);
        EXPECT_EQ(ev.length, c.length);
        EXPECT_EQ(ev.ttl, c.ttl);
    }
}

TEST(FirewallParse, DescriptionNeedsBothQuotes) {
    struct Case {
        const char* body;
        const char* description;
    };
    const Case cases[] = {
        {"DESCR=\"Block all\" SRC=1", "Block all"},
        {"DESCR=\"\" SRC=1", ""},
        {"DESCR=Block SRC=1", ""},
        {"DESCR=\"never closed SRC=1", ""},
    };
    for (const auto& c : cases) {
        FirewallEvent ev = fw::parse(std::string("k: [T-A-1] ") + c.body);
        EXPECT_EQ(ev.getDescription(), c.description) << c.body;
    }
    std::string long_descr(80, 'd');
    FirewallEvent ev = fw::parse("k: [T-A-1] DESCR=\"" + long_descr + "\"");
    EXPECT_EQ(ev.getDescription(), long_descr.substr(0, 64));
}

TEST(FirewallParse, HardwareAddressField) {
    struct Case {
        const char* rule;
        const char* mac;
        bool has_macs;
        bool dst_set;
    };
    const Case cases[] = {
        {"destination, source and EtherType", "aa:bb:cc:dd:ee:ff:11:22:33:44:55:66:08:00", true,
         true},
        {"upper-case digits", "AA:BB:CC:DD:EE:FF:11:22:33:44:55:66:08:00", true, true},
        {"40 bytes are ignored", "aa:bb:cc:dd:ee:ff:11:22:33:44:55:66:08:0", false, false},
        {"IPv4 header start stores nothing", "45:00:00:3c:12:34:40:00:40:06:00:00:c0:a8", false,
         false},
        {"0x4F is still an IPv4 header", "4f:00:00:3c:12:34:40:00:40:06:00:00:c0:a8", false, false},
        {"0x44 is an address", "44:00:00:3c:12:34:40:00:40:06:00:00:c0:a8", true, true},
        {"bad source keeps the destination", "aa:bb:cc:dd:ee:ff:11:22:33:44:55:zz:08:00", false,
         true},
        {"bad destination stores nothing", "zz:bb:cc:dd:ee:ff:11:22:33:44:55:66:08:00", false,
         false},
        {"empty value", "", false, false},
    };
    const u8 zero[6] = {};
    for (const auto& c : cases) {
        FirewallEvent ev =
            fw::parse(std::string("k: [T-A-1] MAC=") + c.mac + " SRC=1.1.1.1 DST=2.2.2.2");
        SCOPED_TRACE(c.rule);
        EXPECT_EQ(ev.has_macs, c.has_macs);
        EXPECT_EQ(memcmp(ev.dst_mac, zero, 6) != 0, c.dst_set);
        if (!c.has_macs) {
            EXPECT_EQ(0, memcmp(ev.src_mac, zero, 6));
        }
    }
}

TEST(FirewallParse, SynAndAckMustStandAlone) {
    struct Case {
        const char* body;
        bool syn;
        bool ack;
    };
    const Case cases[] = {
        {"RES=0x00 ACK SYN URGP=0", true, true},
        {"RES=0x00 SYNACK URGP=0", false, false},
        {"SYN", true, false},
        {"WINDOW=5 ACK", false, true},
        {"XSYN SYNX ACK=1", false, false},
        {"ACKACK ACK", false, true},
    };
    for (const auto& c : cases) {
        FirewallEvent ev = fw::parse(std::string("k: [T-A-1] ") + c.body);
        EXPECT_EQ(ev.syn, c.syn) << c.body;
        EXPECT_EQ(ev.ack, c.ack) << c.body;
    }
}

TEST(FirewallHelpers, FindValue) {
    struct Case {
        const char* rule;
        const char* text;
        const char* key;
        bool found;
        const char* value;
    };
    const Case cases[] = {
        {"value up to the next space", "A=1 SRC=10.0.0.1 B=2", "SRC=", true, "10.0.0.1"},
        {"value up to the end", "SRC=10.0.0.1", "SRC=", true, "10.0.0.1"},
        {"absent key", "DST=1", "SRC=", false, ""},
        {"empty value is absent", "SRC= DST=1", "SRC=", false, ""},
        {"empty value at the end is absent", "SRC=", "SRC=", false, ""},
        {"first occurrence, no word boundary", "XSRC=1 SRC=2", "SRC=", true, "1"},
        {"first occurrence even when empty", "SRC= SRC=2", "SRC=", false, ""},
    };
    for (const auto& c : cases) {
        auto v = fw::findValue(c.text, c.key);
        EXPECT_EQ(v.has_value(), c.found) << c.rule;
        if (v) {
            EXPECT_EQ(*v, c.value) << c.rule;
        }
    }
}

TEST(FirewallHelpers, IsFirewallLog) {
    struct Case {
        const char* rule;
        std::string text;
        bool expected;
    };
    const Case cases[] = {
        {"20 bytes with all three", "[x] SRC=1 DST=2 abcd", true},
        {"19 bytes with all three", "[x] SRC=1 DST=2 abc", false},
        {"no bracket", "x SRC=1 DST=2 abcdefgh", false},
        {"no SRC=", "[x] SRX=1 DST=2 abcdef", false},
        {"no DST=", "[x] SRC=1 DSX=2 abcdef", false},
        {"any order", "DST=2 SRC=1 [x] abcdef", true},
        {"case-sensitive keys", "[x] src=1 dst=2 abcdef", false},
    };
    for (const auto& c : cases) EXPECT_EQ(fw::isFirewallLog(c.text), c.expected) << c.rule;
}

TEST(FirewallHelpers, ParseHexMac) {
    struct Case {
        const char* rule;
        const char* text;
        size_t index;
        bool ok;
        u8 first;
        u8 last;
    };
    const Case cases[] = {
        {"first address", "aa:bb:cc:dd:ee:ff:11:22:33:44:55:66:08:00", 0, true, 0xAA, 0xFF},
        {"address at index 6", "aa:bb:cc:dd:ee:ff:11:22:33:44:55:66:08:00", 6, true, 0x11, 0x66},
        {"digits in either case", "Aa:bB:cc:dd:ee:fF:", 0, true, 0xAA, 0xFF},
        {"sixth pair needs its colon", "aa:bb:cc:dd:ee:ff", 0, false, 0, 0},
        {"sixth pair followed by another byte", "aa:bb:cc:dd:ee:ff-", 0, false, 0, 0},
        {"non-hex digit", "ag:bb:cc:dd:ee:ff:", 0, false, 0, 0},
        {"wrong separator", "aa-bb-cc-dd-ee-ff-", 0, false, 0, 0},
        {"index past the end", "aa:bb:cc:dd:ee:ff:", 6, false, 0, 0},
        {"index whose byte offset would wrap", "xxaa:bb:cc:dd:ee:ff:", SIZE_MAX / 3 + 1, false, 0,
         0},
    };
    for (const auto& c : cases) {
        auto mac = fw::parseHexMac(c.text, c.index);
        ASSERT_EQ(mac.has_value(), c.ok) << c.rule;
        if (mac) {
            EXPECT_EQ(mac->b[0], c.first) << c.rule;
            EXPECT_EQ(mac->b[5], c.last) << c.rule;
        }
    }
}

}  // namespace
}  // namespace tarvex
