// Pipeline core: ring, counters, snapshots and history, periodic work.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "pipeline/pipeline_fixture.h"

namespace tarvex {
namespace {

using test::PipelineRig;

TEST(PipelineCore, RingKeepsNewest8192Cut2048) {
    PipelineRig rig;
    std::string big(3000, 'z');
    rig.send(big, "10.0.0.5");
    EXPECT_EQ(rig.state.ring->occupancy(), 1u);
    EXPECT_EQ(rig.state.ring->newest(0).data_len, 2048);
    EXPECT_EQ(rig.state.ring->newest(0).getSourceIp(), "10.0.0.5");
    EXPECT_EQ(rig.state.ring->newest(0).event_type, static_cast<u8>(EventType::syslog_event));
    for (u32 i = 0; i < kRingCapacity; ++i) rig.send("line " + std::to_string(i));
    EXPECT_EQ(rig.state.ring->occupancy(), kRingCapacity);
    EXPECT_EQ(rig.state.ring->total_written, kRingCapacity + 1u);
    EXPECT_EQ(rig.state.ring->events[0].getData(), "line 8191") << "the 8193rd overwrote slot 0";
    EXPECT_EQ(rig.state.ring->newest(0).getData(), "line 8191");
    EXPECT_EQ(rig.state.ring->newest(1).getData(), "line 8190");
    EXPECT_EQ(rig.state.counters.events_processed, kRingCapacity + 1u);
}

TEST(PipelineCore, SnapshotsEveryFiveSecondsAndHistoryWraps) {
    PipelineRig rig;
    rig.send("a");
    ASSERT_EQ(rig.state.history.count, 1u) << "the first event always snapshots";
    EXPECT_LT(rig.state.history.entries[0].events_per_second, 1e-6f)
        << "divided by time since the epoch";
    rig.send("b");
    PipelineRig::now += 4;
    rig.send("c");
    EXPECT_EQ(rig.state.history.count, 1u);
    PipelineRig::now += 1;
    rig.send("d");
    ASSERT_EQ(rig.state.history.count, 2u);
    EXPECT_FLOAT_EQ(rig.state.history.entries[1].events_per_second, 3.0f / 5.0f);
    EXPECT_EQ(rig.state.history.entries[1].events_processed, 4u);
    EXPECT_FLOAT_EQ(rig.state.currentEps(), 0.6f);

    for (int i = 0; i < 359; ++i) {
        PipelineRig::now += 6;
        rig.send("e");
    }
    EXPECT_EQ(rig.state.history.count, 360u);
    EXPECT_EQ(rig.state.history.pos, 361u);
    CountersSnapshot out[kHistoryCapacity];
    ASSERT_EQ(rig.state.copyHistory(out), 360u);
    EXPECT_EQ(out[0].events_processed, 4u) << "oldest held is the second snapshot ever";
    EXPECT_EQ(out[359].timestamp, PipelineRig::now);
    for (u32 i = 1; i < 360; ++i) EXPECT_GT(out[i].timestamp, out[i - 1].timestamp);
}

TEST(PipelineCore, CollisionDetectionRunsOnEveryHundredthEvent) {
    PipelineRig rig;
    // Two drops from one local source: waves 0 and 1 both reach its node
    // (degree 1 -> threshold 0.4; level 2.0 after two waves).
    const char* drop =
        "kernel: [LAN_IN-D-1] IN=br0 SRC=192.168.5.5 DST=192.168.5.6 LEN=60 PROTO=TCP "
        "SPT=1 DPT=2";
    rig.send(drop);
    rig.send(drop);
    for (int i = 0; i < 97; ++i) rig.send("filler");
    EXPECT_EQ(rig.state.alerts->alert_count, 0u) << "99 events: not yet";
    rig.send("filler");
    EXPECT_EQ(rig.state.counters.events_processed, 100u);
    EXPECT_GE(rig.state.alerts->alert_count, 1u);
    EXPECT_EQ(rig.state.counters.collisions_detected, rig.state.alerts->alert_count);
    const Alert* a = rig.state.alerts->getAlert(1);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->getTitle().substr(0, 13), "Collision on ");
}

struct FeedProbe {
    bool listening = false;
    int stats_messages = 0;
    int alerts = 0;
    CountersSnapshot last{};
    static bool has(void* c) { return static_cast<FeedProbe*>(c)->listening; }
    static void stats(void* c, const CountersSnapshot& s) {
        auto* p = static_cast<FeedProbe*>(c);
        ++p->stats_messages;
        p->last = s;
    }
    static void alert(void* c, u32, std::string_view, std::string_view) {
        ++static_cast<FeedProbe*>(c)->alerts;
    }
};

TEST(PipelineCore, LiveStatsOnEveryFiftiethEventOnlyWhenListened) {
    PipelineRig rig;
    FeedProbe probe;
    LiveFeed feed;
    feed.ctx = &probe;
    feed.has_listeners = FeedProbe::has;
    feed.stats = FeedProbe::stats;
    feed.alert = FeedProbe::alert;
    rig.p->feed = &feed;
    for (int i = 0; i < 50; ++i) rig.send("x");
    EXPECT_EQ(probe.stats_messages, 0) << "nobody listening";
    probe.listening = true;
    for (int i = 0; i < 49; ++i) rig.send("x");
    EXPECT_EQ(probe.stats_messages, 0);
    rig.send("x");
    EXPECT_EQ(probe.stats_messages, 1);
    EXPECT_EQ(probe.last.events_processed, 100u);
    rig.send("CEF:0|V|P|1|9|Bad|9|src=10.0.0.1");
    EXPECT_EQ(probe.alerts, 1);
}

// Readers copy under the shared lock while the pipeline writes: no race,
// and every copy is consistent (counts match the tables they describe).
TEST(PipelineConcurrency, ReadersCopyUnderSharedLock) {
    PipelineRig rig;
    std::atomic<bool> done{false};
    std::atomic<u64> reads{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            CountersSnapshot hist[kHistoryCapacity];
            while (!done) {
                SharedGuard hold(rig.state.lock);
                CountersSnapshot s = rig.state.readCounters();
                u32 active = 0;
                for (u32 i = 0; i < rig.state.graph->node_count && i < kMaxNodes; ++i)
                    active += rig.state.graph->nodes[i].active;
                EXPECT_EQ(active, s.graph_nodes);
                rig.state.copyHistory(hist);
                u32 occ = rig.state.ring->occupancy();
                if (occ) {
                    RawEvent copy = rig.state.ring->newest(0);
                    EXPECT_LE(copy.data_len, kRawEventBytes);
                }
                for (u32 i = 0; i < rig.state.alerts->alert_count; ++i) {
                    Alert copy = rig.state.alerts->alerts[i];
                    (void)copy;
                }
                ++reads;
            }
        });
    }
    Datagram batch[8];
    std::string lines[8];
    for (int round = 0; round < 400; ++round) {
        for (int i = 0; i < 8; ++i) {
            int k = round * 8 + i;
            switch (k % 4) {
                case 0:
                    lines[i] = "dnsmasq-dhcp[1]: DHCPACK(br0) 192.168.2." +
                               std::to_string(k % 250) +
                               " 3c:22:fb:00:" + std::to_string(10 + k % 80) + ":01 host";
                    break;
                case 1:
                    lines[i] = "kernel: [LAN_IN-D-1] IN=br0 SRC=192.168.3." +
                               std::to_string(k % 200) + " DST=192.168.4.1 PROTO=TCP SPT=1 DPT=22";
                    break;
                case 2:
                    lines[i] = "CEF:0|V|P|1|9|Bad|7|src=10.0.0." + std::to_string(k % 250);
                    break;
                default:
                    lines[i] = "dnsmasq[5]: query[A] example.org from 192.168.2.7";
                    break;
            }
            batch[i].data = lines[i].data();
            batch[i].len = static_cast<u32>(lines[i].size());
            batch[i].source_len =
                static_cast<u8>(copyBounded(batch[i].source, batch[i].source_len, "192.168.1.1"));
        }
        // One run of one batch, as the listener hands it over.
        ListenerTarget target = rig.p->listenerTarget();
        target.begin(target.ctx);
        target.process(target.ctx, batch, 8, 0);
        target.end(target.ctx);
    }
    done = true;
    for (auto& t : readers) t.join();
    SharedGuard hold(rig.state.lock);
    EXPECT_EQ(rig.state.counters.events_processed, 3200u);
    EXPECT_GT(reads.load(), 0u);
}

}  // namespace
}  // namespace tarvex
