// New-device alerts: after the grace of a first start, once per device key.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pipeline/pipeline_fixture.h"
#include "support/log_capture.h"

namespace tarvex::test {
namespace {

std::string dhcp(const std::string& mac, const std::string& host, const std::string& ip) {
    return "<30>Dec  8 05:00:00 gw dnsmasq-dhcp[77]: DHCPACK(br0) " + ip + " " + mac + " " + host;
}

// The vendor a new-device alert names: the hardware database's name, or the
// address prefix on a machine without the database.
std::string vendorOf(PipelineRig& rig, const u8 (&mac)[6], const char* prefix) {
    char buf[kVendorCap];
    std::string_view v = rig.state.oui.lookup(mac, buf);
    return v.empty() ? prefix : std::string(v);
}

std::vector<std::string> titles(const PipelineRig& rig) {
    std::vector<std::string> out;
    const AlertManager& am = *rig.state.alerts;
    for (u32 i = 0; i < am.alert_count; ++i) out.emplace_back(am.alerts[i].getTitle());
    return out;
}

TEST(NewDevice, AlertsOnceAfterTheGrace) {
    LogCapture quiet;
    PipelineRig rig;
    rig.p->enableNewDeviceAlerts(600);
    rig.send(dhcp("3c:22:fb:00:00:01", "laptop", "192.168.1.10"));
    PipelineRig::now += 599;
    rig.send(dhcp("3c:22:fb:00:00:02", "tv", "192.168.1.11"));
    EXPECT_TRUE(titles(rig).empty()) << "the first inventory does not alert";

    PipelineRig::now += 1;
    rig.send(dhcp("3c:22:fb:00:00:01", "laptop", "192.168.1.10"));  // seen in the grace
    rig.send(dhcp("3c:22:fb:00:00:03", "phone", "192.168.1.20"));
    rig.send(dhcp("3c:22:fb:00:00:03", "phone", "192.168.1.20"));
    rig.send(
        "Dec  8 05:00:01 gw [LAN_IN-D-1] IN=br0 OUT=eth8 "
        "MAC=ff:ff:ff:ff:ff:ff:54:e1:ad:f7:88:5f:08:00 SRC=192.168.1.30 DST=192.168.1.40 "
        "LEN=60 PROTO=TCP SPT=40000 DPT=22");
    const std::string apple = vendorOf(rig, {0x3c, 0x22, 0xfb, 0, 0, 3}, "3C:22:FB");
    const std::string lcfc = vendorOf(rig, {0x54, 0xe1, 0xad, 0xf7, 0x88, 0x5f}, "54:E1:AD");
    const std::vector<std::string> want = {
        "New device: phone (vendor " + apple + ", MAC 3C:22:FB:00:00:03)",
        "New device: 54:E1:AD:F7:88:5F (vendor " + lcfc + ")"};
    ASSERT_EQ(titles(rig), want);
    const Alert& a = rig.state.alerts->alerts[0];
    EXPECT_EQ(a.severity, AlertSeverity::low);
    EXPECT_EQ(a.getSourceIp(), "192.168.1.20");
    EXPECT_EQ(a.getDescription(), "A device not seen before joined the network: phone.");
    EXPECT_EQ(a.getEvidence(),
              "A device not seen before joined the network: phone.\n\n"
              "MAC: 3C:22:FB:00:00:03\nHost name: phone\nVendor: " +
                  apple +
                  "\n"
                  "Address: 192.168.1.20\nFirst seen in: DHCP\n");
    EXPECT_NE(rig.state.alerts->alerts[1].getEvidence().find("First seen in: firewall log\n"),
              std::string::npos);
}

TEST(NewDevice, RandomisedMacsOfOneHostAlertOnce) {
    LogCapture quiet;
    PipelineRig rig;
    rig.p->enableNewDeviceAlerts(0);
    rig.send(dhcp("02:11:22:33:44:55", "pixel", "192.168.1.50"));
    // The phone's next random address, more than an hour after the last one
    // was heard: the same device.
    PipelineRig::now += kAliasWindow + 1;
    rig.send(dhcp("06:aa:bb:cc:dd:ee", "pixel", "192.168.1.51"));
    rig.send(dhcp("0a:00:00:00:00:01", "", "192.168.1.52"));  // no host name: no device
    ASSERT_EQ(titles(rig), std::vector<std::string>{
                               "New device: pixel (vendor 02:11:22, MAC 02:11:22:33:44:55)"});
    EXPECT_NE(rig.state.alerts->alerts[0].getEvidence().find("Randomised MAC"), std::string::npos);
    // Another random address with the same name while the last is active:
    // a second phone of that name, a second alert.
    rig.send(dhcp("0e:00:00:00:00:02", "pixel", "192.168.1.53"));
    EXPECT_EQ(titles(rig).size(), 2u);
}

TEST(NewDevice, OffUnlessEnabled) {
    LogCapture quiet;
    PipelineRig rig;  // start-up enables them from NEW_DEVICE_ALERTS; a bare pipeline does not
    PipelineRig::now += 100000;
    rig.send(dhcp("3c:22:fb:00:00:09", "box", "192.168.1.9"));
    EXPECT_TRUE(titles(rig).empty());
}

}  // namespace
}  // namespace tarvex::test
