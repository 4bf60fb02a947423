// dhcp_test.cpp: message types, the three line forms, tokens and addresses.
#include "ingest/dhcp.h"

#include <gtest/gtest.h>

#include <string>

#include "common/text.h"
#include "ingest/record_text.h"

namespace tarvex {
namespace {

namespace dhcp = ingest::dhcp;
using test::describe;

TEST(DhcpParse, LineForms) {
    const std::string mac = "a4:83:e7:12:34:56";
    const std::string m = "mac=A4:83:E7:12:34:56 mac_str=" + mac;
    struct Case {
        const char* rule;
        std::string line;
        std::string record;
    };
    const Case cases[] = {
        {"dnsmasq", "dnsmasq-dhcp[812]: DHCPACK(br0) 192.168.1.50 " + mac + " laptop",
         "valid type=ack ip=192.168.1.50 " + m + " host=laptop"},
        {"dnsmasq discover without an address: the first token is the hardware address",
         "dnsmasq-dhcp[812]: DHCPDISCOVER(br0) " + mac, "valid type=discover " + m},
        {"dnsmasq discover: the trailing text is a message, not a host name",
         "dnsmasq-dhcp[812]: DHCPDISCOVER(br0) " + mac + " no address available",
         "valid type=discover " + m},
        {"trailing white space leaves the host name",
         "dnsmasq-dhcp: DHCPACK(br0) 10.0.0.2 " + mac + " my laptop \t\r\n",
         "valid type=ack ip=10.0.0.2 " + m + " host=my laptop"},
        {"all-white remainder: no host name",
         "dnsmasq-dhcp: DHCPOFFER(br0) 10.0.0.2 " + mac + " \r",
         "valid type=offer ip=10.0.0.2 " + m},
        {"nothing after the interface", "dnsmasq-dhcp: DHCPINFORM(br0)", "valid type=inform"},
        {"dnsmasq without interface", "dnsmasq-dhcp: DHCPRELEASE 10.0.0.2 " + mac,
         "valid type=release ip=10.0.0.2 " + m},
        {"unclosed interface falls through to the generic form",
         "dnsmasq-dhcp: DHCPACK(br0 10.0.0.2 " + mac + " h",
         "valid type=ack ip=(br0 host=" + mac + " h"},
        {"ISC", "dhcpd[1]: DHCPACK on 192.168.1.50 to " + mac + " (laptop) via eth0",
         "valid type=ack ip=192.168.1.50 " + m + " host=laptop"},
        {"ISC without host name", "DHCPOFFER on 10.0.0.2 to " + mac + " via eth0",
         "valid type=offer ip=10.0.0.2 " + m},
        {"ISC at the end of the line", "DHCPACK on 10.0.0.2 to " + mac,
         "valid type=ack ip=10.0.0.2 " + m},
        {"ISC unclosed host name", "DHCPACK on 10.0.0.2 to " + mac + " (laptop via x",
         "valid type=ack ip=10.0.0.2 " + m},
        {"ISC bad hardware address", "DHCPACK on 10.0.0.2 to 1:2:3 (h)",
         "valid type=ack ip=10.0.0.2 host=h"},
        {"ISC request", "DHCPREQUEST for 192.168.1.50 from " + mac + " via eth0",
         "valid type=request ip=192.168.1.50 " + m},
        {"ISC request with server and host",
         "DHCPREQUEST for 10.0.0.5 (10.0.0.1) from " + mac + " (laptop) via eth0",
         "valid type=request ip=10.0.0.5 " + m + " host=laptop"},
        {"ISC discover", "DHCPDISCOVER from " + mac + " (laptop) via eth0",
         "valid type=discover " + m + " host=laptop"},
        {"ISC release", "DHCPRELEASE of 10.0.0.5 from " + mac + " via eth0 (found)",
         "valid type=release ip=10.0.0.5 " + m},
        {"ISC inform names the client address", "DHCPINFORM from 10.0.0.5 via eth2",
         "valid type=inform ip=10.0.0.5"},
        {"'for' without 'from': generic form", "DHCPREQUEST for 10.0.0.5 via eth0",
         "valid type=request ip=for host=via eth0"},
        {"'on' without 'to': generic form", "DHCPACK on 10.0.0.2 from x",
         "valid type=ack ip=on host=from x"},
        {"table order, not position, picks the type", "DHCPACK DHCPREQUEST 10.0.0.2",
         "valid type=request ip=10.0.0.2"},
        {"dashes are not a hardware address", "DHCPACK 10.0.0.2 a4-83-e7-12-34-56 h",
         "valid type=ack ip=10.0.0.2 host=h"},
        {"one-digit groups are not either", "DHCPACK 10.0.0.2 a4:83:e7:1:34:56 h",
         "valid type=ack ip=10.0.0.2 host=h"},
        {"upper-case address", "DHCPNAK 10.0.0.2 A4:83:E7:12:34:56",
         "valid type=nak ip=10.0.0.2 mac=A4:83:E7:12:34:56 mac_str=A4:83:E7:12:34:56"},
        {"fields cut to size", "DHCPACK " + std::string(60, '1') + " x " + std::string(80, 'h'),
         "valid type=ack ip=" + std::string(46, '1') + " host=" + std::string(64, 'h')},
        {"no keyword", "dnsmasq-dhcp: DHCPDECLINE 10.0.0.2", ""},
        {"keywords are case-sensitive", "dhcpack on 10.0.0.2 to " + mac, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(describe(dhcp::parse(c.line)), c.record) << c.rule << "\n  " << c.line;
    }
}

TEST(DhcpParse, Tokens) {
    // A second token that is not an address leaves an earlier address alone.
    DhcpEvent ev{};
    ev.message_type = DhcpMessageType::unknown;
    ev.mac[0] = 0x42;
    copyBounded(ev.mac_str, ev.mac_str_len, "kept");
    dhcp::parseTokens("10.0.0.9 not-a-mac", ev);
    EXPECT_EQ(describe(ev), "ip=10.0.0.9 mac=42:00:00:00:00:00 mac_str=kept");
}

}  // namespace
}  // namespace tarvex
