// dhcp_test.cpp: message types, the three line forms, tokens and addresses.
#include "ingest/dhcp.h"

#include "common/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace tarvex {
namespace {

namespace dhcp = ingest::dhcp;
using T = DhcpMessageType;

struct DhcpCase {
    const char* rule;
    std::string line;
    bool valid;
    T type;
    std::string assigned_ip;
    std::string mac_str;  // empty: no address read
    std::string hostname;
};

TEST(DhcpParse, LineForms) {
    const std::string mac = "a4:83:e7:12:34:56";
    const std::vector<DhcpCase> cases = {
        {"dnsmasq: interface, address, hardware address, host name",
         "dnsmasq-dhcp[812]: DHCPACK(br0) 192.168.1.50 " + mac + " laptop", true, T::ack,
         "192.168.1.50", mac, "laptop"},
        {"dnsmasq discover: the hardware address stands where the address goes",
         "dnsmasq-dhcp[812]: DHCPDISCOVER(br0) " + mac, true, T::discover, mac, "", ""},
        {"dnsmasq: trailing white space leaves the host name",
         "dnsmasq-dhcp[1]: DHCPACK(br0) 10.0.0.2 " + mac + " laptop \t\r\n", true, T::ack,
         "10.0.0.2", mac, "laptop"},
        {"dnsmasq: host name may hold spaces",
         "dnsmasq-dhcp[1]: DHCPACK(br0) 10.0.0.2 " + mac + " my laptop", true, T::ack, "10.0.0.2",
         mac, "my laptop"},
        {"dnsmasq: all-white remainder gives no host name",
         "dnsmasq-dhcp[1]: DHCPOFFER(br0) 10.0.0.2 " + mac + "  \r", true, T::offer, "10.0.0.2",
         mac, ""},
        {"dnsmasq: nothing after the interface is still valid", "dnsmasq-dhcp: DHCPINFORM(br0)",
         true, T::inform, "", "", ""},
        {"dnsmasq without interface", "dnsmasq-dhcp: DHCPRELEASE 10.0.0.2 " + mac, true, T::release,
         "10.0.0.2", mac, ""},
        {"dnsmasq: unclosed parenthesis falls through to the generic form",
         "dnsmasq-dhcp: DHCPACK(br0 10.0.0.2 " + mac + " h", true, T::ack, "(br0", "", mac + " h"},
        {"ISC: address, hardware address and host name",
         "dhcpd[1]: DHCPACK on 192.168.1.50 to " + mac + " (laptop) via eth0", true, T::ack,
         "192.168.1.50", mac, "laptop"},
        {"ISC without host name", "dhcpd[1]: DHCPOFFER on 10.0.0.2 to " + mac + " via eth0", true,
         T::offer, "10.0.0.2", mac, ""},
        {"ISC at the end of the line", "dhcpd: DHCPACK on 10.0.0.2 to " + mac, true, T::ack,
         "10.0.0.2", mac, ""},
        {"ISC: unclosed host name", "dhcpd: DHCPACK on 10.0.0.2 to " + mac + " (laptop via x", true,
         T::ack, "10.0.0.2", mac, ""},
        {"ISC: empty parentheses", "dhcpd: DHCPACK on 10.0.0.2 to " + mac + " () via x", true,
         T::ack, "10.0.0.2", mac, ""},
        {"ISC: bad hardware address still valid", "dhcpd: DHCPACK on 10.0.0.2 to 1:2:3 (h)", true,
         T::ack, "10.0.0.2", "", "h"},
        {"ISC wording with 'for': generic form",
         "DHCPREQUEST for 192.168.1.50 from " + mac + " via eth0", true, T::request, "for", "",
         "from " + mac + " via eth0"},
        {"ISC discover with 'from': generic form", "DHCPDISCOVER from " + mac + " via eth0", true,
         T::discover, "from", mac, "via eth0"},
        {"'on' without 'to': generic form overwrites the address", "DHCPACK on 10.0.0.2 from x",
         true, T::ack, "on", "", "from x"},
        {"both ACK and REQUEST: table order wins, read after REQUEST",
         "DHCPACK DHCPREQUEST 10.0.0.2", true, T::request, "10.0.0.2", "", ""},
        {"discover is first in the table", "DHCPOFFER x DHCPDISCOVER", true, T::discover, "", "",
         ""},
        {"dashes are not a hardware address", "DHCPACK 10.0.0.2 a4-83-e7-12-34-56 h", true, T::ack,
         "10.0.0.2", "", "h"},
        {"one-digit groups are not a hardware address", "DHCPACK 10.0.0.2 a4:83:e7:1:34:56 h", true,
         T::ack, "10.0.0.2", "", "h"},
        {"upper-case hardware address", "DHCPACK 10.0.0.2 A4:83:E7:12:34:56", true, T::ack,
         "10.0.0.2", "A4:83:E7:12:34:56", ""},
        {"no keyword", "dnsmasq-dhcp: DHCPDECLINE 10.0.0.2", false, T::unknown, "", "", ""},
        {"keywords are case-sensitive", "dhcpack on 10.0.0.2 to " + mac, false, T::unknown, "", "",
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        DhcpEvent ev = dhcp::parse(c.line);
        EXPECT_EQ(ev.valid, c.valid);
        EXPECT_EQ(ev.message_type, c.type);
        EXPECT_EQ(ev.getAssignedIp(), c.assigned_ip);
        EXPECT_EQ(ev.getMacStr(), c.mac_str);
        EXPECT_EQ(ev.getHostname(), c.hostname);
        EXPECT_EQ(ev.option55_len, 0);
        EXPECT_EQ(ev.vendor_class_len, 0);
        EXPECT_EQ(ev.timestamp, 0);
        if (c.mac_str.empty()) {
            const u8 zero[6] = {};
            EXPECT_EQ(0, memcmp(ev.mac, zero, 6));
        } else {
            EXPECT_EQ(macToString(ev.mac).view(), dhcp::macToString(ev.mac).view());
            auto parsed = dhcp::parseMac(c.mac_str);
            ASSERT_TRUE(parsed.has_value());
            EXPECT_EQ(0, memcmp(ev.mac, parsed->b, 6));
        }
    }
}

TEST(DhcpParse, FieldsAreCutToTheirSize) {
    std::string ip(60, '1');
    std::string host(80, 'h');
    DhcpEvent ev = dhcp::parse("DHCPACK " + ip + " a4:83:e7:12:34:56 " + host);
    EXPECT_EQ(ev.getAssignedIp(), ip.substr(0, 46));
    EXPECT_EQ(ev.getHostname(), host.substr(0, 64));
    ev = dhcp::parse("DHCPACK on 10.0.0.1 to a4:83:e7:12:34:56 (" + host + ")");
    EXPECT_EQ(ev.getHostname(), host.substr(0, 64));
}

TEST(DhcpParse, ParseMac) {
    struct Case {
        const char* text;
        bool ok;
    };
    const Case cases[] = {
        {"a4:83:e7:12:34:56", true},   {"A4:83:E7:12:34:56", true},
        {"00:00:00:00:00:00", true},   {"a4:83:e7:12:34:5", false},
        {"a4:83:e7:12:34:567", false}, {"a4-83-e7-12-34-56", false},
        {"a4:83:e7:12:34:5g", false},  {"a4:83:e7:12:34:56:", false},
        {"a48:3e:71:23:45:6", false},  {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(dhcp::parseMac(c.text).has_value(), c.ok) << c.text;
    auto mac = dhcp::parseMac("a4:83:E7:12:34:5f");
    ASSERT_TRUE(mac.has_value());
    EXPECT_EQ(dhcp::macToString(mac->b).view(), "A4:83:E7:12:34:5F");
}

TEST(DhcpParse, ParseTokensLeavesAddressUntouchedWhenNotAnAddress) {
    DhcpEvent ev{};
    ev.mac[0] = 0x42;
    copyBounded(ev.mac_str, ev.mac_str_len, "kept");
    dhcp::parseTokens("10.0.0.9 not-a-mac", ev);
    EXPECT_EQ(ev.getAssignedIp(), "10.0.0.9");
    EXPECT_EQ(ev.mac[0], 0x42);
    EXPECT_EQ(ev.getMacStr(), "kept");
    EXPECT_EQ(ev.hostname_len, 0);
}

}  // namespace
}  // namespace tarvex
