// firewall_test.cpp: rule tags, key=value fields, flags and addresses.
#include "ingest/firewall.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "ingest/record_text.h"

namespace tarvex {
namespace {

namespace fw = ingest::firewall;
using test::describe;

struct Case {
    const char* rule;
    std::string line;
    std::string record;
};

void check(const Case* begin, const Case* end) {
    for (const Case* c = begin; c != end; ++c) {
        EXPECT_EQ(describe(fw::parse(c->line)), c->record) << c->rule << "\n  " << c->line;
    }
}

TEST(FirewallParse, GatewayLine) {
    const Case cases[] = {
        {"every field of a UniFi line",
         "gw kernel: [WAN_IN-D-4000] DESCR=\"Block all\" IN=eth8 OUT=eth9 "
         "MAC=aa:bb:cc:dd:ee:ff:11:22:33:44:55:66:08:00 SRC=192.168.1.20 DST=10.0.0.5 LEN=60 "
         "TOS=0x00 TTL=63 PROTO=TCP SPT=51234 DPT=443 WINDOW=64240 SYN URGP=0",
         "valid chain=WAN_IN action=drop descr=Block all in=eth8 dst_mac=AA:BB:CC:DD:EE:FF "
         "src_mac=11:22:33:44:55:66 macs src=192.168.1.20 dst=10.0.0.5 proto=tcp spt=51234 "
         "dpt=443 len=60 ttl=63 syn"},
        {"fields before the tag are not read", "SRC=9.9.9.9 IN=x [T-A-1] DST=2.2.2.2 LEN=5",
         "chain=T action=accept dst=2.2.2.2 len=5"},
        {"9 bytes or fewer", "[A] SRC=1", ""},
        {"no bracket", "kernel: SRC=1.1.1.1 DST=2.2.2.2", ""},
        {"no closing bracket", "kernel: [A SRC=1.1.1.1 DST=2.2.2.2", ""},
        {"empty DST value is not valid", "k: [T] SRC=1.1.1.1 DST= LEN=5",
         "chain=T src=1.1.1.1 len=5"},
        {"IPv6 text is taken as is", "k: [T] SRC=fe80::1 DST=ff02::1",
         "valid chain=T src=fe80::1 dst=ff02::1"},
    };
    check(std::begin(cases), std::end(cases));
}

TEST(FirewallParse, RuleTag) {
    const Case cases[] = {
        {"A is accept", "k: [LAN_IN-A-10] x", "chain=LAN_IN action=accept"},
        {"R is reject", "k: [LAN_IN-R-10] x", "chain=LAN_IN action=reject"},
        {"RET is return", "k: [LAN_IN-RET-2000] x", "chain=LAN_IN action=ret"},
        {"code is the second-to-last part", "k: [WAN_LOCAL-default-D] x", "chain=WAN_LOCAL"},
        {"hyphens inside the chain stay", "k: [source-dest-D-1] x",
         "chain=source-dest action=drop"},
        {"codes are case-sensitive", "k: [LAN_IN-d-10] x", "chain=LAN_IN"},
        {"one hyphen: the whole tag", "k: [LAN_IN-10] x", "chain=LAN_IN-10"},
        {"no hyphen: the whole tag", "k: [FORWARD] x", "chain=FORWARD"},
        {"empty chain", "k: [-D-1] x", "action=drop"},
        {"chain cut to 32 bytes", "k: [" + std::string(40, 'c') + "-A-1] x",
         "chain=" + std::string(32, 'c') + " action=accept"},
    };
    check(std::begin(cases), std::end(cases));
}

TEST(FirewallParse, ValuesAndFlags) {
    const std::string p = "k: [T] ";
    const Case cases[] = {
        {"protocol in any case", p + "PROTO=Tcp", "chain=T proto=tcp"},
        {"udp", p + "PROTO=udp", "chain=T proto=udp"},
        {"icmp", p + "PROTO=ICMP", "chain=T proto=icmp"},
        {"other protocols are unknown", p + "PROTO=GRE PROTO=47", "chain=T"},
        {"largest values", p + "SPT=1 DPT=65535 LEN=4294967295 TTL=255",
         "chain=T spt=1 dpt=65535 len=4294967295 ttl=255"},
        {"overflowing values give 0", p + "SPT=99999 TTL=256 LEN=4294967296", "chain=T"},
        {"underscore between digits", p + "SPT=1_000", "chain=T spt=1000"},
        {"non-numeric gives 0", p + "SPT=abc DPT=-1", "chain=T"},
        {"first occurrence, no word boundary", p + "XSRC=1 SRC=2 DST=3",
         "valid chain=T src=1 dst=3"},
        {"SYN and ACK alone", p + "RES=0x00 ACK SYN URGP=0", "chain=T syn ack"},
        {"SYNACK is neither", p + "RES=0x00 SYNACK URGP=0", "chain=T"},
        {"token at the end", p + "WINDOW=5 ACK", "chain=T ack"},
        {"token glued to other text", p + "XSYN SYNX ACK=1 ACKACK", "chain=T"},
        {"description needs both quotes", p + "DESCR=\"never closed", "chain=T"},
        {"unquoted description", p + "DESCR=Block", "chain=T"},
        {"description cut to 64 bytes", p + "DESCR=\"" + std::string(80, 'd') + "\"",
         "chain=T descr=" + std::string(64, 'd')},
        {"interface cut to 16 bytes", p + "IN=" + std::string(20, 'i'),
         "chain=T in=" + std::string(16, 'i')},
    };
    check(std::begin(cases), std::end(cases));
}

TEST(FirewallParse, HardwareAddressField) {
    const std::string p = "k: [T] MAC=";
    const Case cases[] = {
        {"destination, source, EtherType", p + "aa:bb:cc:dd:ee:ff:11:22:33:44:55:66:08:00",
         "chain=T dst_mac=AA:BB:CC:DD:EE:FF src_mac=11:22:33:44:55:66 macs"},
        {"40 bytes are ignored", p + "aa:bb:cc:dd:ee:ff:11:22:33:44:55:66:08:0", "chain=T"},
        {"IPv4 header start", p + "45:00:00:3c:12:34:40:00:40:06:00:00:c0:a8", "chain=T"},
        {"0x4F is still IPv4", p + "4f:00:00:3c:12:34:40:00:40:06:00:00:c0:a8", "chain=T"},
        {"0x44 is an address", p + "44:00:00:3c:12:34:40:00:40:06:00:00:c0:a8",
         "chain=T dst_mac=44:00:00:3C:12:34 src_mac=40:00:40:06:00:00 macs"},
        {"bad source keeps the destination", p + "aa:bb:cc:dd:ee:ff:11:22:33:44:55:zz:08:00",
         "chain=T dst_mac=AA:BB:CC:DD:EE:FF"},
        {"bad destination stores nothing", p + "zz:bb:cc:dd:ee:ff:11:22:33:44:55:66:08:00",
         "chain=T"},
    };
    check(std::begin(cases), std::end(cases));
}

TEST(FirewallHelpers, ParseHexMac) {
    struct HexCase {
        const char* rule;
        const char* text;
        size_t index;
        bool ok;
    };
    const HexCase cases[] = {
        {"first address", "aa:bb:cc:dd:ee:ff:11:22:33:44:55:66:08:00", 0, true},
        {"address at index 6", "aa:bb:cc:dd:ee:ff:11:22:33:44:55:66:08:00", 6, true},
        {"sixth pair needs its colon", "aa:bb:cc:dd:ee:ff", 0, false},
        {"non-hex digit", "ag:bb:cc:dd:ee:ff:", 0, false},
        {"index past the end", "aa:bb:cc:dd:ee:ff:", 6, false},
        {"index whose offset would wrap", "xxaa:bb:cc:dd:ee:ff:", SIZE_MAX / 3 + 1, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fw::parseHexMac(c.text, c.index).has_value(), c.ok) << c.rule;
    auto mac = fw::parseHexMac("Aa:bB:cc:dd:ee:fF:11:22:33:44:55:66:", 6);
    ASSERT_TRUE(mac.has_value());
    EXPECT_EQ(macToString(mac->b).view(), "11:22:33:44:55:66");
}

}  // namespace
}  // namespace tarvex
