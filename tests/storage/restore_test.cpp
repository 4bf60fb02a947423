// The restore at start: what each phase brings back from the database, the
// clamps, the rows it skips, how a failed phase leaves the others running,
// and a restore that runs beside the live pipeline.
#include "storage/restore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "pipeline/pipeline_fixture.h"
#include "storage/db_support.h"
#include "support/log_capture.h"

namespace tarvex {
namespace {

// An engine state for a restore to fill.
struct Tables {
    test::PipelineRig rig;
    EngineState& targets() { return rig.state; }
};

TEST(Restore, BringsBackDevicesGraphAndOpenAlertsWithTheirClamps) {
    TARVEX_PERSISTENCE_DB_OR_SKIP(pdb, "restore_rows");
    ASSERT_EQ(pdb.sql().execScript(R"sql(
        INSERT INTO siem.devices (mac, label, category, confidence, signal_count, last_seen, created_at) VALUES
          ('aa:bb:cc:00:00:01', 'phone', 'unknown', 0.5, 300, to_timestamp(2000), to_timestamp(100)),
          ('aa:bb:cc:00:00:02', NULL, 'unknown', 0.25, -4, to_timestamp(3000), to_timestamp(200));
        INSERT INTO siem.graph_nodes (name, node_type, activation, access_count, last_activated) VALUES
          ('AA:BB:CC:00:00:01', 'device', 0.75, 12, to_timestamp(1500)),
          ('192.168.1.20', 'ip_address', 0, -3, NULL),
          ('tcp/443', 'service', 0, 1, to_timestamp(10)),
          ('weird', 'planet', 0, 1, to_timestamp(10));
        INSERT INTO siem.graph_edges (source_id, target_id, edge_type, weight, reinforcement_count)
          SELECT a.id, b.id, 'assigned_to', 0.8, -5 FROM siem.graph_nodes a, siem.graph_nodes b
           WHERE a.name = 'AA:BB:CC:00:00:01' AND b.name = '192.168.1.20';
        INSERT INTO siem.graph_edges (source_id, target_id, edge_type, weight, reinforcement_count)
          SELECT a.id, b.id, 'assigned_to', 0.7, 32000 FROM siem.graph_nodes a, siem.graph_nodes b
           WHERE a.name = '192.168.1.20' AND b.name = 'tcp/443';
        INSERT INTO siem.graph_edges (source_id, target_id, edge_type, weight, reinforcement_count)
          SELECT a.id, b.id, 'orbits', 0.7, 1 FROM siem.graph_nodes a, siem.graph_nodes b
           WHERE a.name = 'tcp/443' AND b.name = '192.168.1.20';
        INSERT INTO siem.graph_edges (source_id, target_id, edge_type, weight, reinforcement_count)
          SELECT a.id, b.id, 'communicates_with', 0.5, 2 FROM siem.graph_nodes a, siem.graph_nodes b
           WHERE a.name = 'weird' AND b.name = '192.168.1.20';
        INSERT INTO siem.alerts (title, description, severity, status, surprise_score,
                                 collision_wave_count, evidence, source_ip, dest_ip, created_at) VALUES
          ('oldest open', 'd1', 'high', 'acknowledged', 0.5, 3, 'ev', '10.0.0.1', NULL, to_timestamp(100)),
          ('newest open', 'd2', 'critical', 'new', 0, -2, NULL, NULL, '203.0.113.9', to_timestamp(300)),
          ('resolved', 'd3', 'low', 'resolved', 0, 0, NULL, NULL, NULL, to_timestamp(400)),
          ('dismissed', 'd4', 'low', 'false_positive', 0, 0, NULL, NULL, NULL, to_timestamp(500)),
          ('middle', 'd5', 'info', 'investigating', 0, 0, NULL, NULL, NULL, to_timestamp(200));
    )sql"),
              Err::None)
        << pdb.sql().lastError();
    // A device row whose address is no MAC text is skipped; the column type
    // itself refuses one, so take the type away for this row.
    ASSERT_EQ(pdb.sql().execScript("ALTER TABLE siem.devices ALTER COLUMN mac TYPE text; "
                                   "INSERT INTO siem.devices (mac) VALUES ('aa:bb:cc:dd:ee:zz')"),
              Err::None);

    Tables t;
    test::LogCapture log;
    restoreFromDb(*pdb.db, t.targets());
    EXPECT_TRUE(log.has("info(main): restore complete: 2 devices, 3 nodes, 2 edges, 3 alerts"));

    const u8 phone[6] = {0xAA, 0xBB, 0xCC, 0, 0, 1};
    const u8 other[6] = {0xAA, 0xBB, 0xCC, 0, 0, 2};
    const DeviceFingerprint* d = t.rig.state.fp->findDevice(phone);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->getLabel(), "phone");
    EXPECT_FLOAT_EQ(d->confidence, 0.5f);
    EXPECT_EQ(d->signal_count, 255) << "300 is clamped to 255";
    EXPECT_EQ(d->last_seen, 2000);
    EXPECT_EQ(d->first_seen, 100);
    d = t.rig.state.fp->findDevice(other);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->getLabel(), "");
    EXPECT_EQ(d->signal_count, 0) << "negative counts are clamped to 0";

    const Node* dev = t.rig.node("AA:BB:CC:00:00:01", NodeType::device);
    const Node* ip = t.rig.node("192.168.1.20", NodeType::ip_address);
    const Node* svc = t.rig.node("tcp/443", NodeType::service);
    ASSERT_TRUE(dev && ip && svc);
    EXPECT_FLOAT_EQ(dev->activation, 0.75f);
    EXPECT_EQ(dev->access_count, 12u);
    EXPECT_EQ(dev->last_activated, 1500);
    EXPECT_EQ(ip->access_count, 0u);
    EXPECT_EQ(ip->last_activated, 0);
    EXPECT_EQ(t.rig.state.graph->node_count, 3u) << "the unknown node type is skipped";

    const Edge* e1 = t.rig.edge("AA:BB:CC:00:00:01", NodeType::device, "192.168.1.20",
                                NodeType::ip_address, EdgeType::assigned_to);
    const Edge* e2 = t.rig.edge("192.168.1.20", NodeType::ip_address, "tcp/443", NodeType::service,
                                EdgeType::assigned_to);
    ASSERT_TRUE(e1 && e2);
    EXPECT_FLOAT_EQ(e1->weight, 0.8f);
    EXPECT_EQ(e1->reinforcement_count, 0) << "-5 is clamped to 0";
    EXPECT_EQ(e2->reinforcement_count, 32000);
    EXPECT_EQ(t.rig.state.graph->edge_count, 2u) << "unknown edge and node types skip their rows";

    // Open alerts only, newest first from id 1; status and time are not kept.
    struct Want {
        u32 id;
        const char* title;
        AlertSeverity severity;
        u32 waves;
        const char* evidence;
        const char* src;
        const char* dst;
    };
    for (const Want& w : std::initializer_list<Want>{
             {1, "newest open", AlertSeverity::critical, 0, "", "", "203.0.113.9"},
             {2, "middle", AlertSeverity::info, 0, "", "", ""},
             {3, "oldest open", AlertSeverity::high, 3, "ev", "10.0.0.1", ""},
         }) {
        const Alert* a = t.rig.state.alerts->getAlert(w.id);
        ASSERT_NE(a, nullptr) << w.id;
        EXPECT_EQ(a->getTitle(), w.title);
        EXPECT_EQ(a->severity, w.severity) << w.title;
        EXPECT_EQ(a->status, AlertStatus::new_) << w.title;
        EXPECT_EQ(a->collision_wave_count, w.waves) << w.title;
        EXPECT_EQ(a->getEvidence(), w.evidence) << w.title;
        EXPECT_EQ(a->getSourceIp(), w.src) << w.title;
        EXPECT_EQ(a->getDestIp(), w.dst) << w.title;
    }
    EXPECT_EQ(t.rig.state.alerts->alert_count, 3u);
}

TEST(Restore, AlertsWithTheDaemonsIdComeBackAsTheyWere) {
    // Rows that carry the daemon's alert id keep it, with their creation
    // time, status and note; rows from before ids were stored get fresh ids
    // above them, as before.
    TARVEX_PERSISTENCE_DB_OR_SKIP(pdb, "restore_ids");
    ASSERT_EQ(pdb.sql().execScript(R"sql(
        INSERT INTO siem.alerts (title, severity, status, note, status_changed_at, created_at, alert_id) VALUES
          ('seen', 'high', 'acknowledged', 'on it', to_timestamp(250), to_timestamp(200), 41),
          ('fresh', 'critical', 'new', NULL, NULL, to_timestamp(300), 42),
          ('done', 'low', 'resolved', 'fixed', to_timestamp(260), to_timestamp(100), 40);
        INSERT INTO siem.alerts (title, severity, created_at) VALUES ('legacy', 'medium', to_timestamp(50));
    )sql"),
              Err::None)
        << pdb.sql().lastError();
    Tables t;
    t.rig.state.alerts->next_id = 43;  // as start-up sets it from the stored ids
    restoreFromDb(*pdb.db, t.targets());
    const AlertManager& am = *t.rig.state.alerts;
    EXPECT_EQ(am.alert_count, 3u) << "the resolved alert stays in the database only";
    const Alert* seen = am.getAlert(41);
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(seen->getTitle(), "seen");
    EXPECT_EQ(seen->status, AlertStatus::acknowledged);
    EXPECT_EQ(seen->getNote(), "on it");
    EXPECT_EQ(seen->status_changed_at, 250);
    EXPECT_EQ(seen->created_at, 200);
    ASSERT_NE(am.getAlert(42), nullptr);
    EXPECT_EQ(am.getAlert(42)->status, AlertStatus::new_);
    EXPECT_EQ(am.getAlert(42)->status_changed_at, 0);
    EXPECT_EQ(am.getAlert(40), nullptr);
    ASSERT_NE(am.getAlert(43), nullptr) << "the legacy row takes the next id";
    EXPECT_EQ(am.getAlert(43)->getTitle(), "legacy");
    EXPECT_EQ(am.next_id, 44u);
}

TEST(Restore, KeepsTheNewestThousandOpenAlerts) {
    TARVEX_PERSISTENCE_DB_OR_SKIP(pdb, "restore_many");
    ASSERT_EQ(pdb.sql().execScript(
                  "INSERT INTO siem.alerts (title, severity, created_at) SELECT 'alert ' || g, "
                  "'medium', to_timestamp(g) FROM generate_series(1, 1500) g; "
                  "INSERT INTO siem.alerts (title, severity, status, created_at) VALUES "
                  "('closed', 'high', 'resolved', to_timestamp(99999))"),
              Err::None);
    Tables t;
    restoreFromDb(*pdb.db, t.targets());
    EXPECT_EQ(t.rig.state.alerts->alert_count, 1000u);
    EXPECT_EQ(t.rig.state.alerts->getAlert(1)->getTitle(), "alert 1500");
    EXPECT_EQ(t.rig.state.alerts->getAlert(1000)->getTitle(), "alert 501");
}

TEST(Restore, FailedPhaseIsLoggedAndTheOthersStillRun) {
    TARVEX_PERSISTENCE_DB_OR_SKIP(pdb, "restore_fail");
    ASSERT_EQ(
        pdb.sql().execScript("INSERT INTO siem.alerts (title, severity) VALUES ('kept', 'low'); "
                             "DROP TABLE siem.graph_edges; "
                             "ALTER TABLE siem.devices ALTER COLUMN signal_count TYPE text; "
                             "INSERT INTO siem.devices (mac, signal_count, last_seen) VALUES "
                             "('aa:bb:cc:00:00:01', '7', now()), "
                             "('aa:bb:cc:00:00:02', 'many', now() - interval '1 day')"),
        Err::None);
    Tables t;
    test::LogCapture log;
    restoreFromDb(*pdb.db, t.targets());
    // The unreadable row ends the device phase with what it had.
    EXPECT_TRUE(log.has("warning(persistence): failed to read device row: InvalidCharacter"));
    EXPECT_TRUE(log.has("info(persistence): restored 1 devices"));
    EXPECT_TRUE(
        log.has("warning(persistence): failed to query graph edges for restore: "
                "QueryFailed"));
    EXPECT_TRUE(log.has("warning(main): failed to restore edges: QueryFailed"));
    EXPECT_TRUE(log.has("info(main): restore complete: 1 devices, 0 nodes, 0 edges, 1 alerts"));
}

// The restore and the pipeline write the same tables at once; each restore
// batch holds the state lock, and a node the pipeline made first is merged.
TEST(RestoreConcurrency, RunsBesideTheLivePipeline) {
    TARVEX_PERSISTENCE_DB_OR_SKIP(pdb, "restore_live");
    ASSERT_EQ(
        pdb.sql().execScript(
            "INSERT INTO siem.graph_nodes (name, node_type, access_count) SELECT "
            "'10.9.' || (g / 250) || '.' || (g % 250), 'ip_address', 5 FROM "
            "generate_series(0, 1999) g; "
            "INSERT INTO siem.devices (mac, label) SELECT "
            "('02:00:00:00:' || lpad(to_hex(g / 256), 2, '0') || ':' || "
            "lpad(to_hex(g % 256), 2, '0'))::macaddr, 'd' || g FROM generate_series(0, 99) g"),
        Err::None);
    Tables t;
    std::atomic<bool> done{false};
    std::thread restore([&] {
        restoreFromDb(*pdb.db, t.targets());
        done = true;
    });
    int sent = 0;
    while (!done || sent < 200) {
        // Syslog lines whose sender is one of the restored addresses.
        std::string from = "10.9.0." + std::to_string(sent % 250);
        t.rig.send("<13>Oct 11 22:14:15 host app: hello", from);
        ++sent;
    }
    restore.join();
    SharedGuard hold(t.rig.state.lock);
    EXPECT_EQ(t.rig.state.graph->node_count, 2000u) << "no address got a second node";
    const Node* n = t.rig.node("10.9.0.7", NodeType::ip_address);
    ASSERT_NE(n, nullptr);
    EXPECT_GE(n->access_count, 5u);
    EXPECT_EQ(t.rig.state.fp->device_count, 100u);
}

}  // namespace
}  // namespace tarvex
