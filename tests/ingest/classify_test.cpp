// classify_test.cpp: keyword classification order and datagram bounds.
#include "ingest/classify.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"

namespace tarvex {
namespace {

using ingest::classifyAndParse;

TEST(Classify, FirstMatchingTestWins) {
    struct Case {
        const char* rule;
        std::string bytes;
        EventType type;
    };
    const std::vector<Case> cases = {
        {"CEF anywhere", "<134>Mar  5 10:20:30 gw CEF:0|a|b|c|d|e|7|", EventType::cef},
        {"RFC 5424 message holding a CEF record",
         "<134>1 2024-03-05T10:20:30Z gw app - - - CEF:0|a|b|c|d|e|7|", EventType::cef},
        {"CEF mentioning a DHCP keyword is CEF", "CEF:0|a|b|c|d|DHCPACK|7|", EventType::cef},
        {"lower-case cef: is not CEF", "cef:0|a|b|c|d|e|7|", EventType::syslog_event},
        {"DHCP keyword", "dnsmasq-dhcp[1]: DHCPACK(br0) 10.0.0.2 a4:83:e7:12:34:56",
         EventType::dhcp_event},
        {"DHCP before DNS", "DHCPACK query[A] x from y", EventType::dhcp_event},
        {"DHCP before DNS reply", "DHCPINFORM reply x is y", EventType::dhcp_event},
        {"each DHCP keyword counts", "x DHCPNAK y", EventType::dhcp_event},
        {"dnsmasq query", "dnsmasq[1]: query[A] x from y", EventType::dns_event},
        {"BIND query", "client 1.2.3.4#5 (x): query: x IN A", EventType::dns_event},
        {"dnsmasq reply", "dnsmasq[1]: reply x is 1.2.3.4", EventType::dns_event},
        {"DNS before firewall", "[x] reply SRC=1 DST=2 abcdefgh", EventType::dns_event},
        {"firewall: 20 bytes, bracket, SRC= and DST=", "[x] SRC=1 DST=2 abcd", EventType::firewall},
        {"firewall without bracket is syslog", "kernel: SRC=1.1.1.1 DST=2.2.2.2 LEN=1",
         EventType::syslog_event},
        {"19-byte firewall-like line is syslog", "[x] SRC=1 DST=2 abc", EventType::syslog_event},
        {"anything else is syslog", "<13>Mar  5 10:20:30 host app: hi", EventType::syslog_event},
        {"unparsable text is still syslog", "garbage", EventType::syslog_event},
    };
    test::LogCapture log;  // the syslog fallback warns about the garbage line
    for (const auto& c : cases) EXPECT_EQ(classifyAndParse(c.bytes, 0).type, c.type) << c.rule;
}

TEST(Classify, PayloadMatchesTheTag) {
    ParsedEvent ev = classifyAndParse("dnsmasq[1]: query[AAAA] nas.home.arpa from 10.0.0.3", 0);
    ASSERT_EQ(ev.type, EventType::dns_event);
    EXPECT_TRUE(ev.dns.valid);
    EXPECT_EQ(ev.dns.getQueryName(), "nas.home.arpa");

    ev = classifyAndParse("kernel: [LAN_IN-D-1] SRC=10.0.0.1 DST=10.0.0.2 PROTO=UDP", 0);
    ASSERT_EQ(ev.type, EventType::firewall);
    EXPECT_TRUE(ev.firewall.valid);
    EXPECT_EQ(ev.firewall.action, FirewallEvent::Action::drop);

    ev = classifyAndParse("<13>Mar  5 10:20:30 host app: hi", 1717243200);
    ASSERT_EQ(ev.type, EventType::syslog_event);
    EXPECT_EQ(ev.syslog.timestamp, 1709634030);
    EXPECT_EQ(ev.syslog.getMessage(), "hi");

    ev = classifyAndParse("x DHCPNAK on 10.0.0.1 to a4:83:e7:12:34:56", 0);
    ASSERT_EQ(ev.type, EventType::dhcp_event);
    EXPECT_EQ(ev.dhcp.message_type, DhcpMessageType::nak);
    EXPECT_EQ(ev.dhcp.getAssignedIp(), "10.0.0.1");
}

TEST(Classify, TagIsKeptWhenTheParserRejectsTheLine) {
    test::LogCapture log;
    ParsedEvent ev = classifyAndParse("CEF:x|broken", 0);
    EXPECT_EQ(ev.type, EventType::cef);
    EXPECT_FALSE(ev.cef.valid);
    ev = classifyAndParse("reply nothing", 0);
    EXPECT_EQ(ev.type, EventType::dns_event);
    EXPECT_FALSE(ev.dns.valid);
    ev = classifyAndParse("[x] SRC= DST= abcdefgh", 0);
    EXPECT_EQ(ev.type, EventType::firewall);
    EXPECT_FALSE(ev.firewall.valid);
    ev = classifyAndParse("no priority", 0);
    EXPECT_EQ(ev.type, EventType::syslog_event);
    EXPECT_FALSE(ev.syslog.valid);
}

TEST(Classify, TrailingLineBreakIsNotPartOfTheLastField) {
    ParsedEvent ev = classifyAndParse("dnsmasq-dhcp[1]: DHCPDISCOVER(br0) a4:83:e7:12:34:56\n", 0);
    EXPECT_EQ(ev.dhcp.getMacStr(), "a4:83:e7:12:34:56");
    ev = classifyAndParse("dnsmasq-dhcp[1]: DHCPACK(br0) 10.0.0.2 a4:83:e7:12:34:56\r\n", 0);
    EXPECT_EQ(ev.dhcp.getMacStr(), "a4:83:e7:12:34:56");
    ev = classifyAndParse("k: [T-D-1] SRC=1.1.1.1 DST=2.2.2.2 SYN\n", 0);
    EXPECT_TRUE(ev.firewall.syn);
    ev = classifyAndParse("<13>x y \n\n", 0);
    EXPECT_EQ(ev.syslog.getMessage(), "x y ");  // trailing spaces are kept
}

TEST(Classify, OnlyTheFirst4096BytesCount) {
    test::LogCapture log;
    std::string big(5000, 'x');
    big.replace(4000, 4, "CEF:");
    EXPECT_EQ(classifyAndParse(big, 0).type, EventType::cef);
    std::string late(5000, 'x');
    late.replace(4500, 4, "CEF:");
    EXPECT_EQ(classifyAndParse(late, 0).type, EventType::syslog_event);
    std::string edge(5000, 'x');
    edge.replace(4093, 4, "CEF:");  // straddles the 4096-byte cut
    EXPECT_EQ(classifyAndParse(edge, 0).type, EventType::syslog_event);
    std::string message = "<13>" + std::string(4992, 'm');
    ParsedEvent ev = classifyAndParse(message, 0);
    EXPECT_TRUE(ev.syslog.valid);
    EXPECT_EQ(ev.syslog.message_len, 1024);
}

}  // namespace
}  // namespace tarvex
