// The write path against a real server: what each statement leaves in the
// database, how a failed flush keeps its events, and the related-events
// lookup.
#include "storage/persistence.h"

#include <gtest/gtest.h>

#include <cstring>
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
i64 fixedClock() {
    return kT;
}

PersistenceOptions fixedTime() {
    PersistenceOptions o;
    o.clock = fixedClock;
    return o;
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
    TARVEX_PERSISTENCE_DB_OR_SKIP(pdb, "flush", fixedTime());
    Persistence& db = *pdb.db;
    db.bufferEvent(0, "192.168.1.20", "first line", kT - 10);
    db.bufferEvent(3, "", "no sender", kT - 5);
    db.bufferEvent(2, "10.0.0.1", "", kT - 4);
    db.bufferEvent(1, "2001:db8::1", "CEF:0|x", kT - 1);
    // Text that means something inside an array literal stays text.
    db.bufferEvent(4, "10.0.0.2", "say \"hi\" \\ {a,b} 'q'", kT);
    db.bufferEvent(4, "10.0.0.3", "NULL", kT);
    ASSERT_EQ(db.flushEvents(), Err::None);
    EXPECT_EQ(db.batch().event_count, 0u);
    EXPECT_EQ(db.eventsWritten(), 5u);
    EXPECT_EQ(table(pdb.sql(),
                    "SELECT event_type, host(source_ip), raw_data, "
                    "EXTRACT(EPOCH FROM event_time)::bigint FROM siem.events ORDER BY id"),
              "0|192.168.1.20|first line|1733649990\n"
              "3|<null>|no sender|1733649995\n"
              "1|2001:db8::1|CEF:0|x|1733649999\n"
              "4|10.0.0.2|say \"hi\" \\ {a,b} 'q'|1733650000\n"
              "4|10.0.0.3|NULL|1733650000");
    // Nothing pending: a second flush writes nothing.
    ASSERT_EQ(db.flushEvents(), Err::None);
    EXPECT_EQ(count(pdb.sql(), "SELECT count(*) FROM siem.events"), 5);
}

TEST(PersistenceWrite, FailedFlushKeepsTheRingAndWritesTheNewestAfterRecovery) {
    TARVEX_PERSISTENCE_DB_OR_SKIP(pdb, "retry", fixedTime());
    Persistence& db = *pdb.db;
    for (int i = 0; i < 300; ++i)
        db.bufferEvent(0, "192.168.1.20", "event " + std::to_string(i), kT);

    ASSERT_EQ(pdb.sql().execScript("ALTER TABLE siem.events RENAME TO events_away"), Err::None);
    {
        test::LogCapture log;
        EXPECT_EQ(db.flushEvents(), Err::InsertFailed);
        // The oldest surviving slot is 300 mod 256.
        EXPECT_TRUE(log.has("warning(persistence): failed to insert event 44: QueryFailed"));
    }
    EXPECT_EQ(db.batch().event_count, 300u);
    ASSERT_EQ(pdb.sql().execScript("ALTER TABLE siem.events_away RENAME TO events"), Err::None);

    ASSERT_EQ(db.flushEvents(), Err::None);
    EXPECT_EQ(count(pdb.sql(), "SELECT count(*) FROM siem.events"), 256);
    EXPECT_EQ(scalar(pdb.sql(), "SELECT raw_data FROM siem.events ORDER BY id LIMIT 1"),
              "event 44");
    EXPECT_EQ(scalar(pdb.sql(), "SELECT raw_data FROM siem.events ORDER BY id DESC LIMIT 1"),
              "event 299");
}

TEST(PersistenceWrite, FlushWithoutAFreeConnectionFailsAndKeepsEvents) {
    PersistenceOptions o = fixedTime();
    o.pool.acquire_timeout_ms = 200;
    TARVEX_PERSISTENCE_DB_OR_SKIP(pdb, "noconn", o);
    Persistence& db = *pdb.db;
    db.bufferEvent(0, "192.168.1.20", "kept", kT);
    std::vector<PgLease> held;
    for (int i = 0; i < 4; ++i) held.push_back(std::move(db.pool().lease().value));
    test::LogCapture log;
    EXPECT_EQ(db.flushEvents(), Err::ConnectionFailed);
    EXPECT_TRUE(
        log.has("warning(persistence): failed to acquire connection for event flush: Timeout"));
    held.clear();
    EXPECT_EQ(db.flushEvents(), Err::None);
    EXPECT_EQ(scalar(pdb.sql(), "SELECT raw_data FROM siem.events"), "kept");
}

TEST(PersistenceWrite, DeviceUpsertKeepsOneRowPerAddressWithTheLatestValues) {
    TARVEX_PERSISTENCE_DB_OR_SKIP(pdb, "devices");
    Persistence& db = *pdb.db;
    ASSERT_EQ(db.persistDevice(device("aa:bb:cc:00:00:01", "phone", 0.5f, 3)), Err::None);
    ASSERT_EQ(db.persistDevice(device("aa:bb:cc:00:00:01", "laptop", 0.75f, 9)), Err::None);
    DeviceRow batch[] = {device("aa:bb:cc:00:00:02", "", 0.0f, 0),
                         device("aa:bb:cc:00:00:03", "caf\xC3\xA9 \xFF", 0.25f, 255),
                         device("aa:bb:cc:00:00:01", "tablet", 1.0f, 12)};
    EXPECT_EQ(db.persistDevices(batch, 3), 0u);
    EXPECT_EQ(table(pdb.sql(),
                    "SELECT mac::text, label, category, confidence, signal_count, "
                    "first_seen IS NOT NULL AND created_at IS NOT NULL AND last_seen IS NOT NULL "
                    "FROM siem.devices ORDER BY mac"),
              "aa:bb:cc:00:00:01|tablet|unknown|1|12|t\n"
              "aa:bb:cc:00:00:02||unknown|0|0|t\n"
              "aa:bb:cc:00:00:03|caf\xC3\xA9 ?|unknown|0.25|255|t");
}

TEST(PersistenceWrite, AlertInsertStoresNullForEmptyOptionalTexts) {
    TARVEX_PERSISTENCE_DB_OR_SKIP(pdb, "alerts");
    Persistence& db = *pdb.db;
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

    ASSERT_EQ(db.persistAlert(AlertRow::fromAlert(*alerts->getAlert(full))), Err::None);
    ASSERT_EQ(db.persistAlert(AlertRow::fromAlert(*alerts->getAlert(bare))), Err::None);
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
    EXPECT_EQ(db.persistAlert(AlertRow::fromAlert(*alerts->getAlert(bare))), Err::QueryFailed);
    EXPECT_TRUE(log.has("warning(persistence): failed to insert alert: QueryFailed"));
}

TEST(PersistenceWrite, GraphSnapshotUpsertsNodesThenEdges) {
    TARVEX_PERSISTENCE_DB_OR_SKIP(pdb, "graph");
    Persistence& db = *pdb.db;
    auto g = std::unique_ptr<Graph, void (*)(Graph*)>(mapZeroed<Graph>(), unmapTable<Graph>);

    {
        test::LogCapture log;
        db.persistGraph(*g);
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
        db.persistGraph(*g);
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
    db.persistGraph(*g);
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
    TARVEX_PERSISTENCE_DB_OR_SKIP(pdb, "graphfail");
    Persistence& db = *pdb.db;
    auto g = std::unique_ptr<Graph, void (*)(Graph*)>(mapZeroed<Graph>(), unmapTable<Graph>);
    u32 a = *g->addNode("10.0.0.1", NodeType::ip_address);
    u32 b = *g->addNode("10.0.0.2", NodeType::ip_address);
    g->addEdge(a, b, EdgeType::communicates_with, 0.5f);
    ASSERT_EQ(pdb.sql().execScript("DROP TABLE siem.graph_edges; DROP TABLE siem.graph_nodes"),
              Err::None);
    test::LogCapture log;
    db.persistGraph(*g);
    EXPECT_TRUE(log.has("warning(persistence): graph node persist error: QueryFailed"));
    EXPECT_TRUE(log.has("info(persistence): graph persist: 0 nodes saved, 2 failed"));
    EXPECT_TRUE(log.has("warning(persistence): graph edge persist error: QueryFailed"));
    EXPECT_TRUE(log.has("info(persistence): edge persist: 0 edges saved, 1 failed"));
}

TEST(PersistenceWrite, PurgeDeletesOnlyEventsPastTheRetention) {
    TARVEX_PERSISTENCE_DB_OR_SKIP(pdb, "purge");
    ASSERT_EQ(
        pdb.sql().execScript(
            "INSERT INTO siem.events (event_type, raw_data, event_time) VALUES "
            "(0, 'old', now() - interval '31 days'), (0, 'edge', now() - interval '29 days'), "
            "(0, 'new', now())"),
        Err::None);
    test::LogCapture log;
    pdb.db->purgeOldEvents(30);
    EXPECT_TRUE(log.has("info(persistence): purged events older than 30 days"));
    EXPECT_EQ(table(pdb.sql(), "SELECT raw_data FROM siem.events ORDER BY id"), "edge\nnew");
    ASSERT_EQ(pdb.sql().execScript("DROP TABLE siem.events"), Err::None);
    pdb.db->purgeOldEvents(30);
    EXPECT_TRUE(log.has("warning(persistence): failed to purge old events: QueryFailed"));
}

TEST(PersistenceRead, RelatedEventsMatchTheAddressOrTheTextNewestFirst) {
    TARVEX_PERSISTENCE_DB_OR_SKIP(pdb, "related");
    ASSERT_EQ(pdb.sql().execScript(
                  "INSERT INTO siem.events (event_type, source_ip, raw_data, event_time) VALUES "
                  "(4, '192.168.1.20', 'from it', to_timestamp(1000)), "
                  "(0, '10.0.0.1', 'names 192.168.1.20 inside', to_timestamp(3000)), "
                  "(0, '10.0.0.1', 'names 192.168.1.200 too', to_timestamp(2000)), "
                  "(0, '10.0.0.1', 'unrelated', to_timestamp(4000)), "
                  "(3, NULL, 'no source, 192.168.1.20', to_timestamp(500))"),
              Err::None);
    struct Related {
        DbEvent e[kMaxRelatedEvents];
    };
    auto out = std::make_unique<Related>();
    auto& rows = out->e;
    Result<u32> n = pdb.db->queryRelatedEvents("192.168.1.20", rows);
    ASSERT_TRUE(n.ok());
    std::string got;
    for (u32 i = 0; i < n.value; ++i) {
        got += std::to_string(rows[i].timestamp) + "|" + std::to_string(rows[i].event_type) + "|" +
               std::string(rows[i].getSourceIp()) + "|" + std::string(rows[i].getData()) + "\n";
    }
    // The raw-text match is a substring match: "192.168.1.200" contains it.
    EXPECT_EQ(got,
              "3000|0|10.0.0.1|names 192.168.1.20 inside\n"
              "2000|0|10.0.0.1|names 192.168.1.200 too\n"
              "1000|4|192.168.1.20|from it\n"
              "500|3||no source, 192.168.1.20\n");

    // At most 50, newest first.
    ASSERT_EQ(pdb.sql().execScript(
                  "INSERT INTO siem.events (event_type, source_ip, raw_data, event_time) "
                  "SELECT 0, '172.16.0.9', 'x', to_timestamp(10000 + g) FROM "
                  "generate_series(1, 60) g"),
              Err::None);
    n = pdb.db->queryRelatedEvents("172.16.0.9", rows);
    ASSERT_TRUE(n.ok());
    EXPECT_EQ(n.value, 50u);
    EXPECT_EQ(rows[0].timestamp, 10060);
    EXPECT_EQ(rows[49].timestamp, 10011);

    // Nothing is asked for an empty text; a text that is no address fails.
    n = pdb.db->queryRelatedEvents("", rows);
    EXPECT_TRUE(n.ok() && n.value == 0);
    test::LogCapture log;
    n = pdb.db->queryRelatedEvents("gateway", rows);
    EXPECT_EQ(n.err, Err::QueryFailed);
    EXPECT_TRUE(
        log.has("warning(persistence): failed to query related events for gateway: QueryFailed"));
}

}  // namespace
}  // namespace tarvex
