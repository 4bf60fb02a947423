// The statements of the write path against a real server, driven as the
// persistence thread drives them: what each leaves in the database, and how a
// failed event write leaves the batch to be written again.
#include "storage/statements.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/table.h"
#include "storage/db_support.h"
#include "support/log_capture.h"

namespace tarvex {
namespace {

using test::count;
using test::scalar;
using test::table;

constexpr i64 kT = 1733650000;

std::unique_ptr<EventBatch> newBatch() {
    auto b = std::make_unique<EventBatch>();
    b->init(kT);
    return b;
}

// The graph as the persistence thread writes it: a snapshot, then the upserts.
void writeGraph(DbStatements& st, GraphSnapshot& snap, const Graph& g) {
    snap.take(g);
    st.writeGraph(snap);
}

DeviceRow device(const char* mac_hex, std::string_view label, f32 confidence, u32 signals) {
    DeviceRow r{};
    unsigned b[6];
    std::sscanf(mac_hex, "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]);
    for (int i = 0; i < 6; ++i) r.mac[i] = static_cast<u8>(b[i]);
    r.confidence = confidence;
    r.signal_count = signals;
    std::memcpy(r.label, label.data(), label.size());
    r.label_len = static_cast<u8>(label.size());
    return r;
}

TEST(PersistenceWrite, FlushWritesPendingEventsAndSkipsEmptyOnes) {
    TARVEX_POOL_DB_OR_SKIP(pdb, "flush");
    DbStatements st(*pdb.pool);
    auto b = newBatch();
    b->bufferEvent(0, "192.168.1.20", "first line", kT - 10);
    b->bufferEvent(3, "", "no sender", kT - 5);
    b->bufferEvent(2, "10.0.0.1", "", kT - 4);
    b->bufferEvent(1, "2001:db8::1", "CEF:0|x", kT - 1);
    // Text that means something inside an array literal stays text.
    b->bufferEvent(4, "10.0.0.2", "say \"hi\" \\ {a,b} 'q'", kT);
    b->bufferEvent(4, "10.0.0.3", "NULL", kT);
    Result<u32> written = st.writeEvents(*b);
    ASSERT_EQ(written.err, Err::None);
    EXPECT_EQ(written.value, 5u);
    EXPECT_EQ(b->event_count, 6u) << "marking the batch flushed is its owner's step";
    EXPECT_EQ(table(pdb.sql(),
                    "SELECT event_type, host(source_ip), raw_data, "
                    "EXTRACT(EPOCH FROM event_time)::bigint FROM siem.events ORDER BY id"),
              "0|192.168.1.20|first line|1733649990\n"
              "3|<null>|no sender|1733649995\n"
              "1|2001:db8::1|CEF:0|x|1733649999\n"
              "4|10.0.0.2|say \"hi\" \\ {a,b} 'q'|1733650000\n"
              "4|10.0.0.3|NULL|1733650000");
    // Nothing pending: a second write writes nothing.
    b->markFlushed(kT);
    written = st.writeEvents(*b);
    ASSERT_EQ(written.err, Err::None);
    EXPECT_EQ(written.value, 0u);
    EXPECT_EQ(count(pdb.sql(), "SELECT count(*) FROM siem.events"), 5);
}

TEST(PersistenceWrite, FailedFlushKeepsTheRingAndWritesTheNewestAfterRecovery) {
    TARVEX_POOL_DB_OR_SKIP(pdb, "retry");
    DbStatements st(*pdb.pool);
    auto b = newBatch();
    for (int i = 0; i < 300; ++i)
        b->bufferEvent(0, "192.168.1.20", "event " + std::to_string(i), kT);

    ASSERT_EQ(pdb.sql().execScript("ALTER TABLE siem.events RENAME TO events_away"), Err::None);
    {
        test::LogCapture log;
        EXPECT_EQ(st.writeEvents(*b).err, Err::InsertFailed);
        // The oldest surviving slot is 300 mod 256.
        EXPECT_TRUE(log.has("warning(persistence): failed to insert event 44: QueryFailed"));
    }
    EXPECT_EQ(b->event_count, 300u);
    ASSERT_EQ(pdb.sql().execScript("ALTER TABLE siem.events_away RENAME TO events"), Err::None);

    Result<u32> written = st.writeEvents(*b);
    ASSERT_EQ(written.err, Err::None);
    EXPECT_EQ(written.value, 256u);
    EXPECT_EQ(count(pdb.sql(), "SELECT count(*) FROM siem.events"), 256);
    EXPECT_EQ(scalar(pdb.sql(), "SELECT raw_data FROM siem.events ORDER BY id LIMIT 1"),
              "event 44");
    EXPECT_EQ(scalar(pdb.sql(), "SELECT raw_data FROM siem.events ORDER BY id DESC LIMIT 1"),
              "event 299");
}

TEST(PersistenceWrite, FlushWithoutAFreeConnectionFailsAndKeepsEvents) {
    PgPoolOptions o;
    o.acquire_timeout_ms = 200;
    TARVEX_POOL_DB_OR_SKIP(pdb, "noconn", o);
    DbStatements st(*pdb.pool);
    auto b = newBatch();
    b->bufferEvent(0, "192.168.1.20", "kept", kT);
    std::vector<PgLease> held;
    for (int i = 0; i < 4; ++i) held.push_back(std::move(pdb.pool->lease().value));
    test::LogCapture log;
    EXPECT_EQ(st.writeEvents(*b).err, Err::ConnectionFailed);
    EXPECT_TRUE(
        log.has("warning(persistence): failed to acquire connection for event flush: Timeout"));
    held.clear();
    EXPECT_EQ(st.writeEvents(*b).err, Err::None);
    EXPECT_EQ(scalar(pdb.sql(), "SELECT raw_data FROM siem.events"), "kept");
}

TEST(PersistenceWrite, DeviceUpsertKeepsOneRowPerAddressWithTheLatestValues) {
    TARVEX_POOL_DB_OR_SKIP(pdb, "devices");
    DbStatements st(*pdb.pool);
    const DeviceRow first = device("aa:bb:cc:00:00:01", "phone", 0.5f, 3);
    const DeviceRow second = device("aa:bb:cc:00:00:01", "laptop", 0.75f, 9);
    ASSERT_EQ(st.upsertDevices(&first, 1), 0u);
    ASSERT_EQ(st.upsertDevices(&second, 1), 0u);
    DeviceRow batch[] = {device("aa:bb:cc:00:00:02", "", 0.0f, 0),
                         device("aa:bb:cc:00:00:03", "caf\xC3\xA9 \xFF", 0.25f, 255),
                         device("aa:bb:cc:00:00:01", "tablet", 1.0f, 12)};
    EXPECT_EQ(st.upsertDevices(batch, 3), 0u);
    EXPECT_EQ(table(pdb.sql(),
                    "SELECT mac::text, label, category, confidence, signal_count, "
                    "first_seen IS NOT NULL AND created_at IS NOT NULL AND last_seen IS NOT NULL "
                    "FROM siem.devices ORDER BY mac"),
              "aa:bb:cc:00:00:01|tablet|unknown|1|12|t\n"
              "aa:bb:cc:00:00:02||unknown|0|0|t\n"
              "aa:bb:cc:00:00:03|caf\xC3\xA9 ?|unknown|0.25|255|t");
}

TEST(PersistenceWrite, AlertInsertStoresNullForEmptyOptionalTexts) {
    TARVEX_POOL_DB_OR_SKIP(pdb, "alerts");
    DbStatements st(*pdb.pool);
    auto alerts = std::unique_ptr<AlertManager, void (*)(AlertManager*)>(mapZeroed<AlertManager>(),
                                                                         unmapTable<AlertManager>);
    alerts->init();
    const u8 mac[6] = {0x3C, 0x22, 0xFB, 0x0A, 0x1B, 0x2C};
    const u8 none[6] = {};
    u32 full = alerts->createAlert("Threat - 192.168.1.20 to 203.0.113.9:443/TCP", "IPS hit",
                                   AlertSeverity::critical, 0.0f, mac, 0);
    alerts->getAlert(full)->setEvidence("Threat: a to b.\n\nSource: 192.168.1.20\n");
    alerts->getAlert(full)->setSourceIp("192.168.1.20");
    alerts->getAlert(full)->setDestIp("203.0.113.9");
    u32 bare = alerts->createAlert("Scan - 10.0.0.5", "Scan", AlertSeverity::high, 0.0f, none, 0);
    alerts->getAlert(bare)->setSourceIp("10.0.0.5");

    ASSERT_EQ(st.insertAlert(AlertRow::fromAlert(*alerts->getAlert(full))), Err::None);
    ASSERT_EQ(st.insertAlert(AlertRow::fromAlert(*alerts->getAlert(bare))), Err::None);
    EXPECT_EQ(table(pdb.sql(),
                    "SELECT title, description, severity, status, source_mac, surprise_score, "
                    "collision_wave_count, evidence, host(source_ip), host(dest_ip), "
                    "created_at IS NOT NULL FROM siem.alerts ORDER BY id"),
              "Threat - 192.168.1.20 to 203.0.113.9:443/TCP|IPS hit|critical|new|"
              "3c:22:fb:0a:1b:2c|0|0|Threat: a to b.\n\nSource: 192.168.1.20\n|192.168.1.20|"
              "203.0.113.9|t\n"
              "Scan - 10.0.0.5|Scan|high|new|00:00:00:00:00:00|0|0|<null>|10.0.0.5|<null>|t");

    // A source that is no address fails the insert, which is reported.
    alerts->getAlert(bare)->setSourceIp("gateway");
    test::LogCapture log;
    EXPECT_EQ(st.insertAlert(AlertRow::fromAlert(*alerts->getAlert(bare))), Err::QueryFailed);
    EXPECT_TRUE(log.has("warning(persistence): failed to insert alert: QueryFailed"));
}

TEST(PersistenceWrite, AlertStatusUpdateFindsTheRowByAlertId) {
    TARVEX_POOL_DB_OR_SKIP(pdb, "alert_status");
    DbStatements st(*pdb.pool);
    auto alerts = std::unique_ptr<AlertManager, void (*)(AlertManager*)>(mapZeroed<AlertManager>(),
                                                                         unmapTable<AlertManager>);
    alerts->init();
    const u8 none[6] = {};
    alerts->next_id = 7;
    const u32 a = alerts->createAlert("first", "", AlertSeverity::high, 0.0f, none, 0);
    const u32 b = alerts->createAlert("second", "", AlertSeverity::high, 0.0f, none, 4);
    ASSERT_EQ(st.insertAlert(AlertRow::fromAlert(*alerts->getAlert(a))), Err::None);
    ASSERT_EQ(st.insertAlert(AlertRow::fromAlert(*alerts->getAlert(b))), Err::None);
    const Alert* changed = alerts->setStatus(b, AlertStatus::false_positive, "the printer", 1000);
    ASSERT_EQ(st.updateAlertStatus(AlertStatusRow::fromAlert(*changed)), Err::None);
    alerts->setStatus(a, AlertStatus::acknowledged, "", 1001);
    ASSERT_EQ(st.updateAlertStatus(AlertStatusRow::fromAlert(*alerts->getAlert(a))), Err::None);
    EXPECT_EQ(table(pdb.sql(),
                    "SELECT alert_id, title, status, note, collision_wave_count, "
                    "EXTRACT(EPOCH FROM status_changed_at)::bigint FROM siem.alerts ORDER BY id"),
              "7|first|acknowledged|<null>|0|1001\n"
              "8|second|false_positive|the printer|4|1000");
    // An alert that was never stored (a collision alert) has no row: nothing
    // changes and nothing fails.
    const u32 c = alerts->createAlert("memory only", "", AlertSeverity::low, 0.0f, none, 2);
    alerts->setStatus(c, AlertStatus::resolved, "", 1002);
    EXPECT_EQ(st.updateAlertStatus(AlertStatusRow::fromAlert(*alerts->getAlert(c))), Err::None);
    EXPECT_EQ(table(pdb.sql(), "SELECT count(*) FROM siem.alerts WHERE status = 'resolved'"), "0");
}

TEST(PersistenceWrite, GraphSnapshotUpsertsNodesThenEdges) {
    TARVEX_POOL_DB_OR_SKIP(pdb, "graph");
    DbStatements st(*pdb.pool);
    auto g = std::unique_ptr<Graph, void (*)(Graph*)>(mapZeroed<Graph>(), unmapTable<Graph>);
    auto snap = std::make_unique<GraphSnapshot>();

    {
        test::LogCapture log;
        writeGraph(st, *snap, *g);
        EXPECT_TRUE(log.lines().empty()) << "an empty graph logs no summary";
    }

    u32 dev = *g->addNode("3C:22:FB:0A:1B:2C", NodeType::device);
    u32 ip = *g->addNode("192.168.1.20", NodeType::ip_address);
    u32 svc = *g->addNode("tcp/443", NodeType::service);
    u32 twin = *g->addNode("192.168.1.20", NodeType::ip_address);  // a second node, same key
    ASSERT_TRUE(g->addEdge(dev, ip, EdgeType::assigned_to, 0.8f));
    ASSERT_TRUE(g->addEdge(ip, svc, EdgeType::assigned_to, 0.7f));
    ASSERT_TRUE(g->addEdge(dev, twin, EdgeType::assigned_to, 0.5f));
    g->bumpAccess(ip, kT);
    g->getNode(ip)->activation = 0.25f;
    g->findEdge(ip, svc, EdgeType::assigned_to)->reinforcement_count = 40000;
    {
        test::LogCapture log;
        writeGraph(st, *snap, *g);
        EXPECT_TRUE(log.has("info(persistence): graph persist: 4 nodes saved, 0 failed"));
        EXPECT_TRUE(log.has("info(persistence): edge persist: 3 edges saved, 0 failed"));
    }
    EXPECT_EQ(table(pdb.sql(),
                    "SELECT name, node_type, activation, access_count, "
                    "EXTRACT(EPOCH FROM last_activated)::bigint FROM siem.graph_nodes ORDER BY "
                    "name"),
              "192.168.1.20|ip_address|0|0|0\n"  // the later twin's values win
              "3C:22:FB:0A:1B:2C|device|0|0|0\n"
              "tcp/443|service|0|0|0");
    // The twin's edge is the later one of the two sharing a row.
    EXPECT_EQ(table(pdb.sql(),
                    "SELECT n1.name, n2.name, e.edge_type, e.weight, e.reinforcement_count "
                    "FROM siem.graph_edges e JOIN siem.graph_nodes n1 ON n1.id = e.source_id "
                    "JOIN siem.graph_nodes n2 ON n2.id = e.target_id ORDER BY 1, 2"),
              "192.168.1.20|tcp/443|assigned_to|0.7|32767\n"
              "3C:22:FB:0A:1B:2C|192.168.1.20|assigned_to|0.5|0");

    // A later pass updates the rows in place.
    g->bumpAccess(twin, kT + 60);
    g->getNode(twin)->activation = 0.5f;
    g->addEdge(dev, twin, EdgeType::assigned_to, 1.0f);
    writeGraph(st, *snap, *g);
    EXPECT_EQ(table(pdb.sql(),
                    "SELECT activation, access_count, EXTRACT(EPOCH FROM last_activated)::bigint "
                    "FROM siem.graph_nodes WHERE name = '192.168.1.20'"),
              "0.5|1|1733650060");
    EXPECT_EQ(count(pdb.sql(), "SELECT count(*) FROM siem.graph_nodes"), 3);
    EXPECT_EQ(scalar(pdb.sql(),
                     "SELECT weight FROM siem.graph_edges e JOIN siem.graph_nodes n ON "
                     "n.id = e.target_id WHERE n.name = '192.168.1.20'"),
              "0.6");
}

TEST(PersistenceWrite, GraphPassCountsEveryRowOfAFailedStatementAsFailed) {
    TARVEX_POOL_DB_OR_SKIP(pdb, "graphfail");
    DbStatements st(*pdb.pool);
    auto g = std::unique_ptr<Graph, void (*)(Graph*)>(mapZeroed<Graph>(), unmapTable<Graph>);
    auto snap = std::make_unique<GraphSnapshot>();
    u32 a = *g->addNode("10.0.0.1", NodeType::ip_address);
    u32 b = *g->addNode("10.0.0.2", NodeType::ip_address);
    g->addEdge(a, b, EdgeType::communicates_with, 0.5f);
    ASSERT_EQ(pdb.sql().execScript("DROP TABLE siem.graph_edges; DROP TABLE siem.graph_nodes"),
              Err::None);
    test::LogCapture log;
    writeGraph(st, *snap, *g);
    EXPECT_TRUE(log.has("warning(persistence): graph node persist error: QueryFailed"));
    EXPECT_TRUE(log.has("info(persistence): graph persist: 0 nodes saved, 2 failed"));
    EXPECT_TRUE(log.has("warning(persistence): graph edge persist error: QueryFailed"));
    EXPECT_TRUE(log.has("info(persistence): edge persist: 0 edges saved, 1 failed"));
}

TEST(PersistenceWrite, PurgeDeletesOnlyEventsPastTheRetention) {
    TARVEX_POOL_DB_OR_SKIP(pdb, "purge");
    DbStatements st(*pdb.pool);
    ASSERT_EQ(
        pdb.sql().execScript(
            "INSERT INTO siem.events (event_type, raw_data, event_time) VALUES "
            "(0, 'old', now() - interval '31 days'), (0, 'edge', now() - interval '29 days'), "
            "(0, 'new', now())"),
        Err::None);
    test::LogCapture log;
    st.purgeOldEvents(30);
    EXPECT_TRUE(log.has("info(persistence): purged events older than 30 days"));
    EXPECT_EQ(table(pdb.sql(), "SELECT raw_data FROM siem.events ORDER BY id"), "edge\nnew");
    ASSERT_EQ(pdb.sql().execScript("DROP TABLE siem.events"), Err::None);
    st.purgeOldEvents(30);
    EXPECT_TRUE(log.has("warning(persistence): failed to purge old events: QueryFailed"));
}

// The device and graph upserts go out in statements of the configured number
// of rows. One row of each kind is one the server refuses (a signal count
// past integer, a time past timestamptz), so exactly the rows that shared its
// statement fail with it.
TEST(PersistenceWrite, ManyRowUpsertsFailOneStatementOfTheConfiguredSizeAtATime) {
    TARVEX_POOL_DB_OR_SKIP(pdb, "chunks");
    // Rows 0..4 of each kind; row 2 is refused, and with it the rows
    // first_failed .. first_failed + failed - 1 that share its statement.
    struct Case {
        u32 rows_per_statement;
        u32 first_failed;
        u32 failed;
        i64 edges_stored;  // of 0-1, 1-2, 2-3, 3-4: those between two stored nodes
    };
    const Case cases[] = {
        {1, 2, 1, 2},
        {2, 2, 2, 1},
        {3, 0, 3, 1},
        {1000, 0, 5, 0},
    };
    auto g = std::unique_ptr<Graph, void (*)(Graph*)>(mapZeroed<Graph>(), unmapTable<Graph>);
    u32 slots[5];
    for (u32 i = 0; i < 5; ++i) {
        slots[i] = *g->addNode("10.0.0." + std::to_string(i), NodeType::ip_address);
    }
    for (u32 i = 0; i + 1 < 5; ++i) {
        ASSERT_TRUE(g->addEdge(slots[i], slots[i + 1], EdgeType::communicates_with, 0.5f));
    }
    g->getNode(slots[2])->last_activated = 1000000000000000;  // past the year 294276
    DeviceRow devices[5];
    for (u32 i = 0; i < 5; ++i) {
        std::string mac = "aa:bb:cc:00:00:0" + std::to_string(i);
        devices[i] = device(mac.c_str(), "phone", 0.5f, i == 2 ? UINT32_MAX : i);
    }
    auto snap = std::make_unique<GraphSnapshot>();

    for (const Case& c : cases) {
        SCOPED_TRACE(c.rows_per_statement);
        ASSERT_EQ(pdb.sql().execScript("TRUNCATE siem.graph_edges, siem.graph_nodes, siem.devices"),
                  Err::None);
        DbStatements st(*pdb.pool, c.rows_per_statement);
        test::LogCapture log;
        EXPECT_EQ(st.upsertDevices(devices, 5), c.failed);
        std::vector<std::string> want, got;
        for (u32 i = c.first_failed; i < c.first_failed + c.failed; ++i) {
            want.push_back("warning(persistence): failed to upsert device AA:BB:CC:00:00:0" +
                           std::to_string(i) + ": QueryFailed");
            want.push_back("warning(pipeline): failed to persist device: QueryFailed");
        }
        EXPECT_EQ(log.lines(), want);
        EXPECT_EQ(count(pdb.sql(), "SELECT count(*) FROM siem.devices"), 5 - c.failed);

        log.clear();
        writeGraph(st, *snap, *g);
        EXPECT_EQ(log.lines(),
                  (std::vector<std::string>{
                      "warning(persistence): graph node persist error: QueryFailed",
                      "info(persistence): graph persist: " + std::to_string(5 - c.failed) +
                          " nodes saved, " + std::to_string(c.failed) + " failed",
                      "info(persistence): edge persist: 4 edges saved, 0 failed"}));
        EXPECT_EQ(count(pdb.sql(), "SELECT count(*) FROM siem.graph_nodes"), 5 - c.failed);
        EXPECT_EQ(count(pdb.sql(), "SELECT count(*) FROM siem.graph_edges"), c.edges_stored);
    }
}

}  // namespace
}  // namespace tarvex
