// Source handlers driven through processEvent with real log lines.
#include <gtest/gtest.h>

#include "ingest/dhcp.h"
#include "pipeline/pipeline_fixture.h"
#include "support/log_capture.h"

namespace tarvex {
namespace {

using test::PipelineRig;

TEST(PipelineSyslog, TouchesLocalAddressesUpToEight) {
    PipelineRig rig;
    rig.send("<13>Jan  1 00:00:00 host app: peer 192.168.1.7 said hi", "8.8.4.4");
    EXPECT_EQ(rig.node("8.8.4.4", NodeType::ip_address), nullptr);
    ASSERT_NE(rig.node("192.168.1.7", NodeType::ip_address), nullptr);
    EXPECT_EQ(rig.node("192.168.1.7", NodeType::ip_address)->access_count, 1u);

    rig.send("<13>Jan  1 00:00:00 host app: I am 192.168.1.2", "192.168.1.2");
    const Node* self = rig.node("192.168.1.2", NodeType::ip_address);
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self->access_count, 1u) << "its own address is skipped in the text";
    EXPECT_EQ(self->last_activated, PipelineRig::now);

    std::string many = "<13>Jan  1 00:00:00 host app:";
    for (int i = 1; i <= 10; ++i) many += " 10.9.9." + std::to_string(i);
    many += " 300.1.2.3";
    u32 before = rig.state.graph->node_count;
    rig.send(many, "8.8.8.8");
    EXPECT_EQ(rig.state.graph->node_count - before, 8u);
    EXPECT_NE(rig.node("10.9.9.8", NodeType::ip_address), nullptr);
    EXPECT_EQ(rig.node("10.9.9.9", NodeType::ip_address), nullptr);
}

TEST(PipelineDhcp, UniversalAndLocallyAdministeredMacs) {
    PipelineRig rig;
    // A universally administered MAC: device keyed by it, linked to the address.
    rig.send("dnsmasq-dhcp[1]: DHCPACK(br0) 192.168.1.20 3c:22:fb:0a:1b:2c iPhone");
    const MacAddr first = *parseMac("3C:22:FB:0A:1B:2C");
    const DeviceFingerprint* dev = rig.state.fp->findDevice(first.b);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(dev->signal_count, 2) << "manufacturer and hostname";
    const Edge* e = rig.edge("3C:22:FB:0A:1B:2C", NodeType::device, "192.168.1.20",
                             NodeType::ip_address, EdgeType::assigned_to);
    ASSERT_NE(e, nullptr);
    EXPECT_FLOAT_EQ(e->weight, 0.9f);
    EXPECT_EQ(rig.node("192.168.1.20", NodeType::ip_address)->access_count, 0u)
        << "DHCP nodes are not touched";

    // Locally administered without a host name: only the address node.
    u32 devices = rig.state.fp->device_count;
    rig.send("dnsmasq-dhcp[1]: DHCPACK(br0) 192.168.1.30 02:11:22:33:44:55");
    EXPECT_EQ(rig.state.fp->device_count, devices);
    EXPECT_NE(rig.node("192.168.1.30", NodeType::ip_address), nullptr);
    EXPECT_EQ(rig.node("02:11:22:33:44:55", NodeType::device), nullptr);

    // Locally administered with a host name: keyed by the stable host-name MAC.
    rig.send("dnsmasq-dhcp[1]: DHCPACK(br0) 192.168.1.31 02:11:22:33:44:56 kitchen-tab");
    MacAddr key = stableHostnameMac("kitchen-tab");
    const DeviceFingerprint* keyed = rig.state.fp->findDevice(key.b);
    ASSERT_NE(keyed, nullptr);
    EXPECT_EQ(keyed->getHostname(), "kitchen-tab");
    EXPECT_EQ(keyed->getLabel(), "") << "a host name is no identification";
    MacText key_text = macToString(key.b);
    const Edge* ke = rig.edge(key_text.view(), NodeType::device, "192.168.1.31",
                              NodeType::ip_address, EdgeType::assigned_to);
    ASSERT_NE(ke, nullptr);
    EXPECT_FLOAT_EQ(ke->weight, 0.9f);

    // An all-zero MAC does nothing.
    u32 nodes = rig.state.graph->node_count;
    rig.send("dnsmasq-dhcp[1]: DHCPACK(br0) 192.168.1.40 00:00:00:00:00:00 ghost");
    EXPECT_EQ(rig.state.graph->node_count, nodes);
}

TEST(PipelineDns, SignalOnlyOnceTheAddressIsKnown) {
    PipelineRig rig;
    rig.send("dnsmasq[5]: query[A] example.org from 192.168.1.60");
    const Node* addr = rig.node("192.168.1.60", NodeType::ip_address);
    ASSERT_NE(addr, nullptr) << "a first-seen address gets a node";
    EXPECT_EQ(addr->access_count, 1u);
    EXPECT_EQ(rig.state.fp->device_count, 0u) << "but no signal";

    rig.send("dnsmasq-dhcp[1]: DHCPACK(br0) 192.168.1.60 3c:22:fb:00:00:01 macbook");
    const MacAddr parsed = *parseMac("3C:22:FB:00:00:01");
    const u8* mac = parsed.b;
    u8 before = rig.state.fp->findDevice(mac)->signal_count;
    rig.send("dnsmasq[5]: query[A] example.org from 192.168.1.60");
    EXPECT_EQ(rig.state.fp->findDevice(mac)->signal_count, before + 1);
    rig.send("dnsmasq[5]: query[A] captive.apple.com from 192.168.1.60");
    EXPECT_EQ(rig.state.fp->findDevice(mac)->signal_count, before + 3)
        << "probe names count double";
    EXPECT_EQ(addr->access_count, 3u);
}

TEST(PipelineFirewall, DropSeedsWaveRejectDoesNotAndServicesAreLinked) {
    PipelineRig rig;
    const char* drop =
        "kernel: [LAN_IN-D-4000] IN=br0 OUT=eth0 MAC=ff:ff:ff:ff:ff:ff:3c:22:fb:00:00:02:08:00 "
        "SRC=192.168.1.70 DST=192.168.1.80 LEN=60 PROTO=TCP SPT=5555 DPT=443";
    rig.send(drop);
    const Edge* comm = rig.edge("192.168.1.70", NodeType::ip_address, "192.168.1.80",
                                NodeType::ip_address, EdgeType::communicates_with);
    ASSERT_NE(comm, nullptr);
    EXPECT_FLOAT_EQ(comm->weight, 0.5f);
    const Edge* svc = rig.edge("192.168.1.80", NodeType::ip_address, "tcp/443", NodeType::service,
                               EdgeType::assigned_to);
    ASSERT_NE(svc, nullptr);
    EXPECT_FLOAT_EQ(svc->weight, 0.7f);
    const Edge* dev = rig.edge("3C:22:FB:00:00:02", NodeType::device, "192.168.1.70",
                               NodeType::ip_address, EdgeType::assigned_to);
    ASSERT_NE(dev, nullptr);
    EXPECT_FLOAT_EQ(dev->weight, 0.8f);
    EXPECT_EQ(rig.state.act->wave_counter, 1u) << "a drop seeds a wave";
    EXPECT_NE(rig.state.act->find(rig.node("192.168.1.70", NodeType::ip_address)->id), nullptr);

    rig.send(
        "kernel: [LAN_IN-R-4000] IN=br0 OUT=eth0 SRC=192.168.1.71 DST=192.168.1.80 LEN=60 "
        "PROTO=TCP SPT=5555 DPT=8080");
    EXPECT_EQ(rig.state.act->wave_counter, 1u) << "a reject does not";
    EXPECT_EQ(rig.node("tcp/8080", NodeType::service), nullptr);

    rig.send(
        "kernel: [WAN_OUT-A-1] IN=br0 OUT=eth0 SRC=192.168.1.72 DST=93.184.216.34 LEN=60 "
        "PROTO=UDP SPT=5555 DPT=53");
    EXPECT_EQ(rig.node("93.184.216.34", NodeType::ip_address), nullptr);
    EXPECT_EQ(rig.node("udp/53", NodeType::service), nullptr);
}

TEST(PipelineCef, SeverityDecidesTheAlertWithExactTexts) {
    PipelineRig rig;
    test::LogCapture logs;
    rig.send(
        "CEF:0|Ubiquiti|UniFi Network|9.4|201|Port scan|5|src=192.168.1.20 dst=203.0.113.9 "
        "dpt=443 proto=TCP UNIFIcategory=Security");
    EXPECT_EQ(rig.state.alerts->alert_count, 0u) << "severity 5 raises nothing";
    EXPECT_EQ(rig.state.act->wave_counter, 1u) << "but a security event starts a wave";

    rig.send(
        "CEF:0|Ubiquiti|UniFi Network|9.4|201|Threat detected|7|src=192.168.1.20 "
        "dst=203.0.113.9 dpt=443 spt=5000 proto=TCP UNIFIcategory=Security "
        "UNIFIsubCategory=IPS UNIFIclientMac=3c:22:fb:0a:1b:2c msg=Blocked it");
    ASSERT_EQ(rig.state.alerts->alert_count, 1u);
    const Alert* a = rig.state.alerts->getAlert(1);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->getTitle(), "Threat detected - 192.168.1.20 to 203.0.113.9:443/TCP");
    EXPECT_EQ(a->getDescription(), "Blocked it");
    EXPECT_EQ(a->severity, AlertSeverity::high);
    EXPECT_EQ(a->getEvidence(),
              "Threat detected: 192.168.1.20 to 203.0.113.9:443/TCP.\n"
              "\n"
              "Source: 192.168.1.20\n"
              "Destination: 203.0.113.9:443\n"
              "Protocol: TCP\n"
              "Source Port: 5000\n"
              "Client MAC: 3c:22:fb:0a:1b:2c\n"
              "Vendor: Ubiquiti\n"
              "Product: UniFi Network\n"
              "Category: Security\n"
              "Subcategory: IPS\n"
              "CEF Severity: 7/10\n"
              "Signature: 201\n");
    EXPECT_EQ(a->getSourceIp(), "192.168.1.20");
    EXPECT_EQ(a->getDestIp(), "203.0.113.9");
    const u8 mac[6] = {0x3c, 0x22, 0xfb, 0x0a, 0x1b, 0x2c};
    EXPECT_EQ(std::memcmp(a->source_mac, mac, 6), 0);
    EXPECT_TRUE(logs.has("info(pipeline): CEF high-severity alert created: id=1 severity=7"));
    EXPECT_NE(rig.edge("3C:22:FB:0A:1B:2C", NodeType::device, "192.168.1.20", NodeType::ip_address,
                       EdgeType::communicates_with),
              nullptr);

    // No src: the sender stands in; no dst: "from" wording; 8 is critical.
    rig.send("CEF:0|V|P|1|9|Brute force|8|UNIFIclientMac=3c-22-fb-0a-1b-2c", "10.1.1.1");
    const Alert* b = rig.state.alerts->getAlert(2);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->getTitle(), "Brute force - 10.1.1.1");
    EXPECT_EQ(b->severity, AlertSeverity::critical);
    EXPECT_EQ(b->getEvidence().substr(0, b->getEvidence().find('\n')),
              "Brute force from 10.1.1.1.");
    const u8 zero[6] = {};
    EXPECT_EQ(std::memcmp(b->source_mac, zero, 6), 0) << "a dashed MAC does not parse";
    EXPECT_NE(b->getEvidence().find("Client MAC: 3c-22-fb-0a-1b-2c\n"), std::string_view::npos);

    std::string long_name(200, 'N');
    rig.send("CEF:0|V|P|1|9|" + long_name + "|10|src=10.0.0.1");
    const Alert* c = rig.state.alerts->getAlert(3);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->getTitle(), std::string(128, 'N'));
}

}  // namespace
}  // namespace tarvex
