// The hand-off from the listener to the persistence thread: the flush rules
// as the thread applies them, a full queue, and the pipeline writing through
// the thread while readers and graph snapshots share the state lock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "common/clock.h"
#include "engine/table_ptr.h"
#include "pipeline/pipeline_fixture.h"
#include "storage/db_support.h"
#include "storage/persistence.h"
#include "storage/work_queue.h"
#include "support/log_capture.h"

namespace tarvex {
namespace {

using test::count;

// Polls `sql` (a count) until it reaches `want` or `ms` pass; returns the last value.
i64 waitForCount(PgConn& c, const std::string& sql, i64 want, int ms = 5000) {
    i64 v = -1;
    for (int waited = 0; waited <= ms; waited += 20) {
        v = count(c, sql);
        if (v == want) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return v;
}

std::atomic<i64> g_now{1733650000};
i64 movableClock() {
    return g_now.load();
}

TEST(WorkQueue, ReportsEachRunOfRefusalsOnceAndRefusesAllOnceClosed) {
    WorkQueue q(64);
    std::string payload(20, 'x');  // 25 bytes per record with its header
    EXPECT_EQ(q.push(1, {payload}), PushResult::queued);
    EXPECT_EQ(q.push(1, {payload}), PushResult::queued);
    EXPECT_EQ(q.push(1, {payload}), PushResult::refused_first);
    EXPECT_EQ(q.push(1, {payload}), PushResult::refused);
    std::vector<char> taken;
    q.take(taken, 0);
    int seen = 0;
    WorkQueue::forEach(taken, [&](u8, std::string_view p) { seen += p == payload; });
    EXPECT_EQ(seen, 2);
    EXPECT_EQ(q.push(2, {"a", "bc"}), PushResult::queued) << "drained: accepting again";
    EXPECT_EQ(q.push(1, {payload}), PushResult::queued);
    EXPECT_EQ(q.push(1, {payload}), PushResult::queued);
    EXPECT_EQ(q.push(1, {payload}), PushResult::refused_first) << "a new run is reported again";
    EXPECT_EQ(q.refusedCount(), 3u);
    q.close();
    EXPECT_EQ(q.push(1, {"late"}), PushResult::closed);
}

TEST(PersistenceThread, FullQueueIsLoggedOncePerOccurrence) {
    PersistenceOptions o;
    o.queue_bytes = 4096;
    TARVEX_PERSISTENCE_DB_OR_SKIP(pdb, "queuefull", o);
    test::LogCapture log;
    std::string raw(1000, 'r');
    for (int i = 0; i < 10; ++i) pdb.db->submitEvent(0, "192.168.1.1", raw, wallSeconds());
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"warning(persistence): write queue full \xE2\x80\x94 "
                                       "dropping database work until it drains (1 dropped so "
                                       "far)"});
    // Three records fit: stopping the layer writes those, none of the 7 refused.
    ASSERT_EQ(pdb.db->start(), Err::None);
    pdb.db->deinit();
    EXPECT_EQ(count(pdb.sql(), "SELECT count(*) FROM siem.events"), 3);
}

TEST(PersistenceThread, FlushesAtTheHundredthEventOrFiveSecondsAfterTheLastFlush) {
    g_now = 1733650000;
    PersistenceOptions o;
    o.clock = movableClock;
    TARVEX_PERSISTENCE_DB_OR_SKIP(pdb, "timing", o);
    ASSERT_EQ(pdb.db->start(), Err::None);
    const std::string events = "SELECT count(*) FROM siem.events";
    for (int i = 0; i < 99; ++i) pdb.db->submitEvent(0, "192.168.1.1", "e", g_now);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(count(pdb.sql(), events), 0) << "99 events within 5 s wait";
    pdb.db->submitEvent(0, "192.168.1.1", "e", g_now);
    EXPECT_EQ(waitForCount(pdb.sql(), events, 100), 100) << "the 100th event flushes";

    for (int i = 0; i < 3; ++i) pdb.db->submitEvent(2, "192.168.1.1", "later", g_now);
    g_now += 4;
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_EQ(count(pdb.sql(), events), 100) << "4 s after the last flush: not yet";
    // No further event arrives: the thread's own wake-up finds the batch due.
    g_now += 1;
    EXPECT_EQ(waitForCount(pdb.sql(), events, 103), 103)
        << "the first flush emptied the ring: its 100 are not written again";
}

// The snapshot is the graph as it stood when submitted (the listener copies
// it under its own hold of the lock), not as it stands when written.
TEST(PersistenceThread, GraphSnapshotIsTheGraphAtSubmission) {
    TARVEX_PERSISTENCE_DB_OR_SKIP(pdb, "snapshot");
    ASSERT_EQ(pdb.db->start(), Err::None);
    auto g = test::makeTable<Graph>();
    ASSERT_NE(g, nullptr);
    const u32 a = *g->addNode("192.168.1.10", NodeType::ip_address);
    const u32 b = *g->addNode("example.com", NodeType::dns_name);
    ASSERT_TRUE(g->addEdge(a, b, EdgeType::resolves_to, 0.5f));
    ASSERT_TRUE(pdb.db->submitGraph(*g));
    // Later events change the graph before the thread has written anything.
    const u32 c = *g->addNode("192.168.1.11", NodeType::ip_address);
    ASSERT_TRUE(g->addEdge(c, b, EdgeType::resolves_to, 0.5f));
    const std::string nodes = "SELECT count(*) FROM siem.graph_nodes";
    const std::string edges = "SELECT count(*) FROM siem.graph_edges";
    EXPECT_EQ(waitForCount(pdb.sql(), edges, 1), 1);
    EXPECT_EQ(count(pdb.sql(), nodes), 2);
    // The next submission carries the change.
    ASSERT_TRUE(pdb.db->submitGraph(*g));
    EXPECT_EQ(waitForCount(pdb.sql(), edges, 2), 2);
    EXPECT_EQ(waitForCount(pdb.sql(), nodes, 3), 3);
}

// Mixed traffic through the real pipeline while an HTTP-like reader holds
// the state lock shared and the persistence thread snapshots the graph.
TEST(PersistenceConcurrency, PipelineWritesThroughThePersistenceThread) {
    TARVEX_PERSISTENCE_DB_OR_SKIP(pdb, "pipeline");
    ASSERT_EQ(pdb.db->start(), Err::None);
    test::PipelineRig rig;
    rig.now = wallSeconds();
    rig.p->persistence = pdb.db.get();

    std::atomic<bool> stop{false};
    std::atomic<u64> reads{0};
    std::thread reader([&] {
        while (!stop) {
            SharedGuard hold(rig.state.lock);
            u32 n = 0;
            for (u32 i = 0; i < rig.state.graph->node_count && i < kMaxNodes; ++i)
                n += rig.state.graph->nodes[i].access_count > 0;
            if (n <= kMaxNodes) ++reads;
        }
    });

    constexpr int kRounds = 250;
    for (int k = 0; k < kRounds; ++k) {
        std::string host = std::to_string(10 + k % 50);
        char mac[18];
        std::snprintf(mac, sizeof mac, "3c:22:fb:00:00:%02x", k % 50);
        rig.send("dnsmasq-dhcp[1]: DHCPACK(br0) 192.168.1." + host + " " + mac + " host" + host);
        rig.send(
            "kernel: [LAN_IN-D-4000] IN=br0 OUT=eth0 MAC=ff:ff:ff:ff:ff:ff:" + std::string(mac) +
            ":08:00 SRC=192.168.1." + host + " DST=192.168.1.1 LEN=60 PROTO=TCP SPT=5555 DPT=443");
        rig.send("<13>Oct 11 22:14:15 host app: hello from 192.168.1." + host);
        rig.send("CEF:0|V|P|1|9|Bad|" + std::to_string(k % 2 ? 8 : 4) + "|src=192.168.1." + host);
        if (k == kRounds - 2) rig.now += 30;  // one full graph snapshot near the end
    }
    stop = true;
    reader.join();
    u32 nodes, alerts;
    std::string label;
    {
        SharedGuard hold(rig.state.lock);
        nodes = rig.state.graph->node_count;
        alerts = rig.state.alerts->alert_count;
        const u8 mac7[6] = {0x3C, 0x22, 0xFB, 0, 0, 7};
        const DeviceFingerprint* d = rig.state.fp->findDevice(mac7);
        ASSERT_NE(d, nullptr);
        label = d->getLabel();
    }
    pdb.db->deinit();  // writes what is still queued and flushes the rest

    PgConn& c = pdb.sql();
    // Every event, device and alert arrives: the queue refused nothing.
    EXPECT_EQ(count(c, "SELECT count(*) FROM siem.events"), 4 * kRounds);
    EXPECT_EQ(count(c, "SELECT count(*) FROM siem.events WHERE event_type = 2"), kRounds);
    EXPECT_EQ(count(c, "SELECT count(*) FROM siem.devices"), 50);
    EXPECT_EQ(test::scalar(c, "SELECT label FROM siem.devices WHERE mac = '3c:22:fb:00:00:07'"),
              label)
        << "the last row written for the address carries its latest label";
    // CEF alerts are stored; collision alerts stay in memory only.
    EXPECT_EQ(count(c, "SELECT count(*) FROM siem.alerts"), kRounds / 2);
    EXPECT_GE(alerts, static_cast<u32>(kRounds / 2));
    EXPECT_EQ(count(c, "SELECT count(*) FROM siem.graph_nodes"), nodes);
    EXPECT_GT(count(c, "SELECT count(*) FROM siem.graph_edges"), 50);
    EXPECT_GT(reads.load(), 0u);
}

}  // namespace
}  // namespace tarvex
