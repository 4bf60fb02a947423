// Indicator matches in the pipeline: which event values are matched, the
// alert a match raises (once per indicator and device an hour), its
// evidence, the hit counters and the activation wave.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "intel/indicator_feed.h"
#include "intel/indicators.h"
#include "pipeline/pipeline_fixture.h"
#include "support/log_capture.h"
#include "support/mapped_table.h"

namespace tarvex::test {
namespace {

struct Rig {
    LogCapture quiet;
    PipelineRig p;
    MappedTable<IndicatorStore> store;

    explicit Rig(std::string_view feed) {
        store->attach(&p.state);
        std::vector<Indicator> items(64);
        FeedResult r = parseIndicatorFeed(feed, FeedDefaults{"testfeed", IndicatorSeverity::high},
                                          items.data(), 64);
        store->importIndicators(items.data(), r.count, true);
    }
    std::vector<std::string> titles() const {
        std::vector<std::string> out;
        const AlertManager& am = *p.state.alerts;
        for (u32 i = 0; i < am.alert_count; ++i) out.emplace_back(am.alerts[i].getTitle());
        return out;
    }
    u64 hits(std::string_view value) {
        Indicator page[64];
        IndicatorPage pg = store->listIndicators(0, 64, page, 64);
        for (u32 i = 0; i < pg.count; ++i)
            if (page[i].getValue() == value) return page[i].hits;
        return 0;
    }
};

constexpr const char* kFeed =
    "203.0.113.0/24\n"
    "2001:db8:bad::/48\n"
    "evil.example\n"
    "bad.example/payload.exe\n"
    "d41d8cd98f00b204e9800998ecf8427e\n";

std::string firewall(const std::string& src, const std::string& dst) {
    return "Dec  8 05:00:01 gw [LAN_OUT-A-1] IN=br0 OUT=eth8 "
           "MAC=ff:ff:ff:ff:ff:ff:3c:22:fb:0a:1b:2c:08:00 SRC=" +
           src + " DST=" + dst + " LEN=60 PROTO=TCP SPT=40000 DPT=443";
}

TEST(IndicatorHits, EachSourceOfValuesRaisesTheAlert) {
    struct Case {
        std::string line;
        std::string from;
        std::string title;
        const char* rule;
    } cases[] = {
        {firewall("192.168.1.20", "203.0.113.9"), "192.168.1.1",
         "Threat indicator seen: 203.0.113.0/24 (cidr)", "firewall destination"},
        {firewall("203.0.113.200", "192.168.1.20"), "192.168.1.1",
         "Threat indicator seen: 203.0.113.0/24 (cidr)", "firewall source"},
        {"<30>Dec  8 05:00:00 gw dnsmasq[77]: query[A] beacon.c2.evil.example from 192.168.1.20",
         "192.168.1.1", "Threat indicator seen: evil.example (domain)", "DNS parent domain"},
        {"<38>Dec  8 05:00:00 nas sshd[9]: Failed password for root from 2001:db8:bad::7 port 22",
         "192.168.1.5", "Threat indicator seen: 2001:db8:bad::/48 (cidr)", "syslog IPv6 peer"},
        {"<38>Dec  8 05:00:00 nas sshd[9]: Failed password for root from 203.0.113.77 port 22",
         "192.168.1.5", "Threat indicator seen: 203.0.113.0/24 (cidr)", "syslog IPv4 peer"},
        {"CEF:0|Vendor|Proxy|1|100|Download|3|src=192.168.1.20 dst=198.51.100.1 "
         "request=https://bad.example/payload.exe",
         "192.168.1.1", "Threat indicator seen: bad.example/payload.exe (url)", "CEF request"},
        {"CEF:0|Vendor|AV|1|100|File seen|3|src=192.168.1.20 "
         "fileHash=D41D8CD98F00B204E9800998ECF8427E",
         "192.168.1.1", "Threat indicator seen: d41d8cd98f00b204e9800998ecf8427e (hash_md5)",
         "CEF file hash"},
    };
    for (const Case& c : cases) {
        Rig rig(kFeed);
        rig.p.send(c.line, c.from);
        EXPECT_EQ(rig.titles(), std::vector<std::string>{c.title}) << c.rule;
        if (!rig.titles().empty()) {
            EXPECT_EQ(rig.p.state.alerts->alerts[0].severity, AlertSeverity::high) << c.rule;
        }
    }

    Rig quiet(kFeed);
    quiet.p.send(firewall("192.168.1.20", "198.51.100.9"));
    quiet.p.send("<30>Dec  8 05:00:00 gw dnsmasq[77]: query[A] evil.example.org from 192.168.1.20");
    quiet.p.send("<38>Dec  8 05:00:00 gw kernel: link up", "203.0.113.5");
    quiet.p.send("<30>Dec  8 05:00:00 gw dnsmasq[77]: reply beacon.evil.example is 192.0.2.1");
    EXPECT_TRUE(quiet.titles().empty())
        << "other addresses and names do not match, nor does a syslog sender, nor a reply "
           "line (it names no client, only the resolver that sent it)";
}

TEST(IndicatorHits, OneAlertPerIndicatorAndDeviceAnHourEveryHitCounted) {
    Rig rig(kFeed);
    rig.p.send(firewall("192.168.1.20", "203.0.113.9"));
    PipelineRig::now += 1800;
    rig.p.send(firewall("192.168.1.20", "203.0.113.10"));  // same device, same network
    rig.p.send("<30>Dec  8 05:00:00 gw dnsmasq[77]: query[A] evil.example from 192.168.1.30");
    rig.p.send("<30>Dec  8 05:00:00 gw dnsmasq[77]: query[A] www.evil.example from 192.168.1.31");
    EXPECT_EQ(rig.titles().size(), 3u) << "a second device alerts on its own";
    EXPECT_EQ(rig.hits("203.0.113.0/24"), 2u);
    EXPECT_EQ(rig.hits("evil.example"), 2u);

    PipelineRig::now += 1800;
    rig.p.send(firewall("192.168.1.20", "203.0.113.9"));
    EXPECT_EQ(rig.titles().size(), 4u) << "an hour after the first, the pair alerts again";
    EXPECT_EQ(rig.hits("203.0.113.0/24"), 3u);
}

TEST(IndicatorHits, AlertNamesIndicatorFeedAndEventAndSeedsAWave) {
    Rig rig(kFeed);
    const std::string line = firewall("192.168.1.20", "203.0.113.9");
    rig.p.send(line);
    ASSERT_EQ(rig.p.state.alerts->alert_count, 1u);
    const Alert& a = rig.p.state.alerts->alerts[0];
    EXPECT_EQ(a.getSourceIp(), "192.168.1.20");
    EXPECT_EQ(a.getDestIp(), "203.0.113.9");
    const u8 mac[6] = {0x3c, 0x22, 0xfb, 0x0a, 0x1b, 0x2c};
    EXPECT_EQ(std::memcmp(a.source_mac, mac, 6), 0);
    EXPECT_EQ(a.getDescription(),
              "3C:22:FB:0A:1B:2C was seen with 203.0.113.9, listed as a cidr indicator by "
              "testfeed.");
    EXPECT_EQ(a.getEvidence(),
              "Indicator: 203.0.113.0/24\nType: cidr\nSeverity: high\nSource feed: testfeed\n"
              "Matched: 203.0.113.9\nDevice: 3C:22:FB:0A:1B:2C\nEvent: " +
                  line + "\n");
    const Node* src = rig.p.node("192.168.1.20", NodeType::ip_address);
    ASSERT_NE(src, nullptr);
    EXPECT_NE(rig.p.state.act->find(src->id), nullptr)
        << "an accepted connection to a listed address starts a wave";
}

TEST(IndicatorHits, ExpiredIndicatorRaisesNothing) {
    LogCapture quiet;
    PipelineRig p;
    MappedTable<IndicatorStore> store;
    store->attach(&p.state);
    std::vector<Indicator> items(4);
    FeedResult r = parseIndicatorFeed("type,value,expiry\ncidr,203.0.113.0/24,1700000100\n", {},
                                      items.data(), 4);
    ASSERT_EQ(r.count, 1u);
    store->importIndicators(items.data(), 1, true);
    p.send(firewall("192.168.1.20", "203.0.113.9"));
    EXPECT_EQ(p.state.alerts->alert_count, 1u);
    PipelineRig::now = 1700000100 + 3600;
    p.send(firewall("192.168.1.20", "203.0.113.9"));
    EXPECT_EQ(p.state.alerts->alert_count, 1u) << "past its expiry the indicator is quiet";
}

}  // namespace
}  // namespace tarvex::test
