// log_dhcp_test.cpp: dnsmasq log-dhcp exchanges joined by transaction id,
// the addresses a DHCP line may link, randomised addresses and DNS credit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/mac.h"
#include "engine/identity.h"
#include "pipeline/pipeline_fixture.h"

namespace tarvex {
namespace {

using test::PipelineRig;

const std::string H = "dnsmasq-dhcp[812]: ";
constexpr const char* kMac = "a4:83:e7:12:34:56";
constexpr const char* kMac2 = "3c:22:fb:0a:0b:0c";

std::string opt(u32 xid, const std::string& list) {
    return H + std::to_string(xid) + " requested options: " + list;
}
std::string msg(u32 xid, const std::string& text) {
    return H + std::to_string(xid) + " " + text;
}

// The Windows 10/11 list as dnsmasq writes it: four options a line.
const std::vector<std::string> kWindowsLines = {
    "1:netmask, 3:router, 6:dns-server, 15:domain-name, ",
    "31:router-discovery, 33:static-route, 43:vendor-encap, 44:netbios-ns, ",
    "46:netbios-nodetype, 47:netbios-scope, 119:domain-search, 121:classless-static-route, ",
    "249, 252"};
constexpr std::string_view kWindowsList = "1,3,6,15,31,33,43,44,46,47,119,121,249,252";

const DeviceFingerprint* dev(PipelineRig& rig, const char* mac) {
    return rig.state.fp->findDevice(parseMac(mac)->b);
}

TEST(LogDhcp, JoiningByTransactionId) {
    struct Case {
        const char* rule;
        std::vector<std::string> lines;
        const char* mac;
        std::string_view hostname;
        std::string_view vendor_class;
        u16 traits;
    };
    std::vector<std::string> whole = {msg(7, "vendor class: MSFT 5.0"),
                                      msg(7, "client provides name: DESKTOP-7H2K9QF"),
                                      msg(7, std::string("DHCPDISCOVER(br0) ") + kMac),
                                      msg(7, std::string("DHCPOFFER(br0) 192.168.1.20 ") + kMac)};
    for (const auto& l : kWindowsLines) whole.push_back(opt(7, l));
    std::vector<std::string> after_mac = {msg(8, std::string("DHCPDISCOVER(br0) ") + kMac)};
    for (const auto& l : kWindowsLines) after_mac.push_back(opt(8, l));
    after_mac.push_back(msg(8, "vendor class: MSFT 5.0"));
    std::vector<std::string> lost_first = {msg(9, std::string("DHCPDISCOVER(br0) ") + kMac)};
    for (size_t i = 1; i < kWindowsLines.size(); ++i) lost_first.push_back(opt(9, kWindowsLines[i]));
    std::vector<std::string> lost_middle = {msg(10, std::string("DHCPDISCOVER(br0) ") + kMac),
                                            opt(10, kWindowsLines[0]), opt(10, kWindowsLines[1]),
                                            opt(10, kWindowsLines[3])};
    // Two exchanges line by line: each keeps its own facts.
    std::vector<std::string> interleaved = {
        msg(11, "vendor class: MSFT 5.0"),
        msg(12, "vendor class: android-dhcp-13"),
        msg(11, std::string("DHCPDISCOVER(br0) ") + kMac),
        msg(12, std::string("DHCPDISCOVER(br0) ") + kMac2),
        opt(12, "1:netmask, 3:router, 6:dns-server, 15:domain-name, "),
        opt(11, kWindowsLines[0]),
        opt(12, "26:mtu, 28:broadcast, 51:lease-time, 58:T1, "),
        opt(11, kWindowsLines[1]),
        opt(12, "59:T2, 43:vendor-encap, 114"),
        opt(11, kWindowsLines[2]),
        opt(11, kWindowsLines[3]),
    };
    // The list's last line lost: the next message line of the exchange
    // closes it unread.
    std::vector<std::string> lost_last = {msg(13, std::string("DHCPDISCOVER(br0) ") + kMac),
                                          opt(13, kWindowsLines[0]), opt(13, kWindowsLines[1]),
                                          msg(13, std::string("DHCPREQUEST(br0) 192.168.1.20 ") + kMac),
                                          opt(13, kWindowsLines[3])};
    const Case cases[] = {
        {"facts before the MAC line wait for it; continued lines join", whole, kMac,
         "DESKTOP-7H2K9QF", "MSFT 5.0", kTraitWindows},
        {"facts after the MAC line go straight to the device", after_mac, kMac, "", "MSFT 5.0",
         kTraitWindows},
        {"a lost first line: the list is not used", lost_first, kMac, "", "", 0},
        {"a lost middle line: a short continued line gives it away", lost_middle, kMac, "", "", 0},
        {"a lost last line: the list is not used", lost_last, kMac, "", "", 0},
        {"interleaved exchanges: the first", interleaved, kMac, "", "MSFT 5.0", kTraitWindows},
        {"interleaved exchanges: the second", interleaved, kMac2, "", "android-dhcp-13",
         kTraitAndroid},
    };
    for (const Case& c : cases) {
        PipelineRig rig;
        for (const auto& l : c.lines) rig.send(l);
        const DeviceFingerprint* d = dev(rig, c.mac);
        ASSERT_NE(d, nullptr) << c.rule;
        EXPECT_EQ(d->getHostname(), c.hostname) << c.rule;
        EXPECT_EQ(d->getVendorClass(), c.vendor_class) << c.rule;
        EXPECT_EQ(d->traits, c.traits) << c.rule;
    }
}

TEST(LogDhcp, ParsedDetailLines) {
    DhcpEvent ev = ingest::dhcp::parse(opt(42, kWindowsLines[0]));
    EXPECT_TRUE(ev.valid);
    EXPECT_EQ(ev.detail, DhcpDetail::requested_options);
    EXPECT_EQ(ev.xid, 42u);
    EXPECT_EQ(ev.getOption55(), "1,3,6,15");
    EXPECT_TRUE(ev.options_continue);
    ev = ingest::dhcp::parse(opt(42, "249, 252"));
    EXPECT_EQ(ev.getOption55(), "249,252");
    EXPECT_FALSE(ev.options_continue);
    ev = ingest::dhcp::parse(msg(2721026064u, "DHCPDISCOVER(eth0) 172.16.10.33 02:07:4e:17:40:29 "));
    EXPECT_TRUE(ev.has_xid);
    EXPECT_EQ(ev.xid, 2721026064u);
    EXPECT_EQ(ev.getMacStr(), "02:07:4e:17:40:29");
    // Without a transaction id the words are not a detail line.
    ev = ingest::dhcp::parse(H + "vendor class: MSFT 5.0");
    EXPECT_FALSE(ev.valid);
}

TEST(LogDhcp, TheOptionListReachesFingerprintingOnce) {
    PipelineRig rig;
    rig.send(msg(5, std::string("DHCPDISCOVER(br0) ") + kMac));
    for (const auto& l : kWindowsLines) rig.send(opt(5, l));
    const u8 count = dev(rig, kMac)->signal_count;
    // The REQUEST of the same exchange repeats the list: no new fact.
    for (const auto& l : kWindowsLines) rig.send(opt(5, l));
    EXPECT_EQ(dev(rig, kMac)->signal_count, count);
    EXPECT_EQ(identity::optionListTraits(kWindowsList), kTraitWindows);
}

TEST(DhcpAddresses, OnlyAClientAddressLinksTheDevice) {
    struct Case {
        const char* rule;
        std::string line;
        bool linked_to_sender;
        const char* linked;  // address the device is linked to, or ""
    };
    const Case cases[] = {
        {"dnsmasq DISCOVER without an address", H + "DHCPDISCOVER(br0) " + kMac, false, ""},
        {"ISC DISCOVER without an address",
         std::string("dhcpd[9]: DHCPDISCOVER from ") + kMac + " via eth0", false, ""},
        {"a DISCOVER's requested address is not the client's",
         H + "DHCPDISCOVER(br0) 172.16.10.33 " + kMac, false, ""},
        {"an ACK's address is", H + "DHCPACK(br0) 192.168.1.20 " + kMac + " host", false,
         "192.168.1.20"},
        {"an ISC REQUEST's address is",
         std::string("dhcpd[9]: DHCPREQUEST for 192.168.1.21 (192.168.1.1) from ") + kMac +
             " via eth0",
         false, "192.168.1.21"},
    };
    for (const Case& c : cases) {
        PipelineRig rig;
        rig.send(c.line, "192.168.1.1");
        ASSERT_NE(dev(rig, kMac), nullptr) << c.rule;
        EXPECT_EQ(rig.edge("A4:83:E7:12:34:56", NodeType::device, "192.168.1.1",
                           NodeType::ip_address, EdgeType::assigned_to) != nullptr,
                  c.linked_to_sender)
            << c.rule;
        if (*c.linked) {
            EXPECT_NE(rig.edge("A4:83:E7:12:34:56", NodeType::device, c.linked,
                               NodeType::ip_address, EdgeType::assigned_to),
                      nullptr)
                << c.rule;
        }
    }
}

TEST(DhcpAddresses, DnsLinesWithoutAClientTeachNoDevice) {
    PipelineRig rig;
    rig.send(H + "DHCPACK(br0) 192.168.1.20 " + kMac + " laptop");
    const u8 before = dev(rig, kMac)->signal_count;
    // A reply line names no client: the sender (the resolver) is not the device.
    rig.send("dnsmasq[812]: reply ring.com is 192.0.2.1", "192.168.1.20");
    EXPECT_EQ(dev(rig, kMac)->signal_count, before);
    rig.send("dnsmasq[812]: query[A] fw.ring.com from 192.168.1.20");
    EXPECT_EQ(dev(rig, kMac)->signal_count, before + 1);
    EXPECT_NE(dev(rig, kMac)->domain_marks[0] | dev(rig, kMac)->domain_marks[1], 0u);
}

TEST(RandomisedAddresses, FoldByHostNameUnlessTwoAreActiveAtOnce) {
    PipelineRig rig;
    const MacAddr folded = stableHostnameMac("iPhone");
    rig.send(H + "DHCPACK(br0) 192.168.1.30 02:11:22:33:44:01 iPhone");
    ASSERT_NE(rig.state.fp->findDevice(folded.b), nullptr);
    // A second randomised address with the same default name within the
    // hour: another iPhone, its own record.
    PipelineRig::now += 60;
    rig.send(H + "DHCPACK(br0) 192.168.1.31 02:11:22:33:44:02 iPhone");
    EXPECT_NE(dev(rig, "02:11:22:33:44:02"), nullptr);
    EXPECT_EQ(dev(rig, "02:11:22:33:44:02")->getHostname(), "iPhone");
    // The first keeps its folded record.
    rig.send(H + "DHCPACK(br0) 192.168.1.30 02:11:22:33:44:01 iPhone");
    EXPECT_EQ(dev(rig, "02:11:22:33:44:01"), nullptr);
    // Hours later the first comes back with a new address: the same phone.
    PipelineRig::now += 7200;
    const u32 devices = rig.state.fp->device_count;
    rig.send(H + "DHCPACK(br0) 192.168.1.30 02:11:22:33:44:03 iPhone");
    EXPECT_EQ(rig.state.fp->device_count, devices);
    EXPECT_EQ(rig.state.fp->findDevice(folded.b)->getLabel(), "iPhone");
}

}  // namespace
}  // namespace tarvex
