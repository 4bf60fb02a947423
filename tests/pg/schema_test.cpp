// db/schema.sql against a real server: it applies to an empty database (and
// again), its defaults fill what the inserts leave out, and every statement
// the daemon issues prepares and runs against it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/clock.h"
#include "pg/conn.h"
#include "pg/test_db.h"

namespace tarvex {
namespace {

using test::schemaText;
using SchemaDb = test::SchemaDatabase;

TEST(PgSchema, AppliesToAnEmptyDatabaseAndAgain) {
    TARVEX_PG_URL_OR_SKIP(scram, "TARVEX_TEST_PG_SCRAM_URL");
    SchemaDb s(scram, "schema");
    ASSERT_TRUE(s.conn);
    std::string schema = schemaText();
    EXPECT_EQ(s.conn->execScript(schema.c_str()), Err::None)
        << "a second application changes nothing: " << s.conn->lastError();
    Result<PgRows> r = s.conn->query(
        "SELECT string_agg(table_name::text, ',' ORDER BY table_name::text) FROM "
        "information_schema.tables WHERE table_schema = 'siem'");
    ASSERT_TRUE(r.ok() && r.value.next());
    EXPECT_EQ(r.value.getText(0).value_or(""),
              "alerts,cases,devices,events,graph_edges,graph_nodes,indicators");
    // A database made before the indicator table existed gains it.
    ASSERT_EQ(s.conn->execScript("DROP TABLE siem.indicators"), Err::None);
    EXPECT_EQ(s.conn->execScript(schema.c_str()), Err::None) << s.conn->lastError();
    r = s.conn->query("SELECT count(*) FROM siem.indicators");
    EXPECT_TRUE(r.ok() && r.value.next()) << "the indicator table is created again";
    r = s.conn->query(
        "SELECT string_agg(enumlabel::text, ',' ORDER BY enumsortorder) FROM pg_enum "
        "WHERE enumtypid = 'siem.alert_severity'::regtype");
    ASSERT_TRUE(r.ok() && r.value.next());
    EXPECT_EQ(r.value.getText(0).value_or(""), "info,low,medium,high,critical")
        << "severity values in scale order";
}

TEST(PgSchema, InsertDefaultsReadBackAsTheDaemonExpects) {
    TARVEX_PG_URL_OR_SKIP(scram, "TARVEX_TEST_PG_SCRAM_URL");
    SchemaDb s(scram, "schema");
    ASSERT_TRUE(s.conn);
    PgConn& c = *s.conn;

    // A CEF alert without evidence or destination.
    ASSERT_EQ(
        c.exec("INSERT INTO siem.alerts (title, description, severity, source_mac, "
               "surprise_score, evidence, source_ip, dest_ip) VALUES ($1, $2, "
               "$3::siem.alert_severity, $4::macaddr, $5, $6, $7::inet, $8::inet)",
               {"Port scan", "many ports", "high", "AA:BB:CC:DD:EE:FF", 0.0f,
                PgParam::textOrNull(""), PgParam::textOrNull("10.0.0.5"), PgParam::textOrNull("")}),
        Err::None)
        << c.lastError();
    Result<PgRows> r = c.query(
        "SELECT status::text, collision_wave_count, created_at IS NOT NULL, "
        "abs(EXTRACT(EPOCH FROM now() - created_at)) < 60, dest_ip IS NULL, evidence IS NULL, "
        "host(source_ip), severity::text FROM siem.alerts");
    ASSERT_TRUE(r.ok() && r.value.next()) << c.lastError();
    EXPECT_EQ(r.value.getText(0).value_or(""), "new") << "a new alert's status";
    ASSERT_TRUE(r.value.getI64(1).ok()) << "collision_wave_count reads as a number";
    EXPECT_EQ(r.value.getI64(1).value, 0);
    EXPECT_TRUE(r.value.getBool(2).value) << "created_at filled on insert";
    EXPECT_TRUE(r.value.getBool(3).value) << "created_at is now";
    EXPECT_TRUE(r.value.getBool(4).value) << "no destination stores NULL";
    EXPECT_TRUE(r.value.getBool(5).value) << "empty evidence stores NULL";
    EXPECT_EQ(r.value.getText(6).value_or(""), "10.0.0.5");
    EXPECT_EQ(r.value.getText(7).value_or(""), "high");

    // The device upsert twice: one row, first_seen and created_at filled
    // once, the rest replaced.
    const char* device_upsert =
        "INSERT INTO siem.devices (mac, label, category, confidence, signal_count, last_seen) "
        "VALUES ($1::macaddr, $2, $3, $4, $5, now()) ON CONFLICT (mac) DO UPDATE SET label = "
        "EXCLUDED.label, category = EXCLUDED.category, confidence = EXCLUDED.confidence, "
        "signal_count = EXCLUDED.signal_count, last_seen = now()";
    ASSERT_EQ(c.exec(device_upsert, {"AA:BB:CC:DD:EE:FF", "phone", "unknown", 0.25f, 3}), Err::None)
        << c.lastError();
    ASSERT_EQ(c.exec(device_upsert, {"aa:bb:cc:dd:ee:ff", "iPhone", "unknown", 0.75f, 300}),
              Err::None)
        << c.lastError();
    r = c.query(
        "SELECT count(*), max(label), max(confidence), max(signal_count), "
        "bool_and(first_seen IS NOT NULL AND created_at IS NOT NULL) FROM siem.devices");
    ASSERT_TRUE(r.ok() && r.value.next()) << c.lastError();
    EXPECT_EQ(r.value.getI64(0).value, 1) << "unique mac in either case";
    EXPECT_EQ(r.value.getText(1).value_or(""), "iPhone");
    EXPECT_EQ(r.value.getF32(2).value, 0.75f);
    EXPECT_EQ(r.value.getI64(3).value, 300) << "signal_count holds more than 255";
    EXPECT_TRUE(r.value.getBool(4).value);

    // Nodes upserted twice keep one id; the edge between them gets last_seen.
    const char* node_upsert =
        "INSERT INTO siem.graph_nodes (name, node_type, activation, access_count, "
        "last_activated) VALUES ($1, $2, $3, $4, to_timestamp($5)) ON CONFLICT (name, node_type) "
        "DO UPDATE SET activation = EXCLUDED.activation, access_count = EXCLUDED.access_count, "
        "last_activated = EXCLUDED.last_activated";
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_EQ(c.exec(node_upsert, {"AA:BB:CC:DD:EE:FF", "device", 0.5f, pass, 1733650000.0}),
                  Err::None)
            << c.lastError();
        ASSERT_EQ(c.exec(node_upsert, {"10.0.0.5", "ip_address", 0.0f, 1, 1733650001.0}), Err::None)
            << c.lastError();
    }
    const char* edge_upsert =
        "INSERT INTO siem.graph_edges (source_id, target_id, edge_type, weight, "
        "reinforcement_count) SELECT n1.id, n2.id, $3, $4::real, $5::smallint FROM "
        "siem.graph_nodes n1, siem.graph_nodes n2 WHERE n1.name = $1 AND n1.node_type = $6 AND "
        "n2.name = $2 AND n2.node_type = $7 ON CONFLICT (source_id, target_id, edge_type) DO "
        "UPDATE SET weight = EXCLUDED.weight, reinforcement_count = EXCLUDED.reinforcement_count, "
        "last_seen = now()";
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_EQ(c.exec(edge_upsert, {"AA:BB:CC:DD:EE:FF", "10.0.0.5", "assigned_to", 1.5f,
                                       pass + 1, "device", "ip_address"}),
                  Err::None)
            << c.lastError();
    }
    r = c.query(
        "SELECT (SELECT count(*) FROM siem.graph_nodes), (SELECT max(access_count) FROM "
        "siem.graph_nodes WHERE node_type = 'device'), (SELECT count(*) FROM siem.graph_edges), "
        "(SELECT max(reinforcement_count) FROM siem.graph_edges), (SELECT bool_and(last_seen IS "
        "NOT NULL) FROM siem.graph_edges)");
    ASSERT_TRUE(r.ok() && r.value.next()) << c.lastError();
    EXPECT_EQ(r.value.getI64(0).value, 2);
    EXPECT_EQ(r.value.getI64(1).value, 1) << "second pass updated the node";
    EXPECT_EQ(r.value.getI64(2).value, 1);
    EXPECT_EQ(r.value.getI64(3).value, 2) << "second pass updated the edge";
    EXPECT_TRUE(r.value.getBool(4).value) << "last_seen filled on insert";
}

TEST(PgSchema, EveryDaemonStatementRunsAgainstIt) {
    TARVEX_PG_URL_OR_SKIP(scram, "TARVEX_TEST_PG_SCRAM_URL");
    SchemaDb s(scram, "schema");
    ASSERT_TRUE(s.conn);
    PgConn& c = *s.conn;
    const i64 recent = wallSeconds() - 10;
    struct Case {
        const char* sql;
        std::vector<PgParam> params;
        const char* rule;
    };
    const std::vector<Case> cases = {
        {"INSERT INTO siem.events (event_type, source_ip, raw_data, event_time) VALUES "
         "($1::smallint, $2::inet, $3, to_timestamp($4))",
         {2, "192.168.1.20", "DHCPACK(br0) 192.168.1.20 aa:bb:cc:dd:ee:ff phone",
          static_cast<f64>(recent)},
         "event insert"},
        {"INSERT INTO siem.events (event_type, source_ip, raw_data, event_time) VALUES "
         "($1::smallint, $2::inet, $3, to_timestamp($4))",
         {0, nullptr, "plain line", static_cast<f64>(recent + 1)},
         "event insert without a source address"},
        {"DELETE FROM siem.events WHERE event_time < now() - ($1 || ' days')::interval",
         {"90"},
         "retention purge"},
        {"SELECT EXTRACT(EPOCH FROM event_time)::bigint, event_type, host(source_ip), raw_data "
         "FROM siem.events WHERE (source_ip = $1::inet OR raw_data ILIKE $2) ORDER BY event_time "
         "DESC LIMIT 50",
         {"192.168.1.20", "%192.168.1.20%"},
         "related events"},
        {"SELECT mac::text, label, category, confidence, signal_count, EXTRACT(EPOCH FROM "
         "last_seen)::bigint, EXTRACT(EPOCH FROM created_at)::bigint FROM siem.devices ORDER BY "
         "last_seen DESC",
         {},
         "device restore"},
        {"SELECT name, node_type::text, activation, access_count, EXTRACT(EPOCH FROM "
         "last_activated)::bigint FROM siem.graph_nodes",
         {},
         "node restore"},
        {"SELECT n1.name, n1.node_type::text, n2.name, n2.node_type::text, e.edge_type::text, "
         "e.weight, e.reinforcement_count FROM siem.graph_edges e JOIN siem.graph_nodes n1 ON "
         "e.source_id = n1.id JOIN siem.graph_nodes n2 ON e.target_id = n2.id",
         {},
         "edge restore"},
        {"SELECT title, description, severity::text, status::text, surprise_score, "
         "collision_wave_count, EXTRACT(EPOCH FROM created_at)::bigint, evidence, "
         "host(source_ip), host(dest_ip) FROM siem.alerts WHERE status != 'resolved' AND status "
         "!= 'false_positive' ORDER BY created_at DESC LIMIT 1000",
         {},
         "alert restore"},
        {"SELECT EXTRACT(EPOCH FROM date_trunc($1, event_time))::bigint AS bucket, COUNT(*) AS "
         "total, COUNT(*) FILTER (WHERE event_type = 0) AS syslog, COUNT(*) FILTER (WHERE "
         "event_type = 1) AS cef, COUNT(*) FILTER (WHERE event_type = 2) AS dhcp, COUNT(*) "
         "FILTER (WHERE event_type = 3) AS dns FROM siem.events WHERE event_time >= now() - "
         "$2::interval GROUP BY 1 ORDER BY 1",
         {"hour", "7 days"},
         "event time series"},
        {"SELECT EXTRACT(EPOCH FROM date_trunc($1, created_at))::bigint AS bucket, COUNT(*) AS "
         "total, COUNT(*) FILTER (WHERE severity = 'critical') AS critical, COUNT(*) FILTER "
         "(WHERE severity = 'high') AS high, COUNT(*) FILTER (WHERE severity = 'medium') AS "
         "medium, COUNT(*) FILTER (WHERE severity = 'low') AS low, COUNT(*) FILTER (WHERE "
         "severity = 'info') AS info FROM siem.alerts WHERE created_at >= now() - $2::interval "
         "GROUP BY 1 ORDER BY 1",
         {"day", "30 days"},
         "alert time series"},
        {"SELECT EXTRACT(EPOCH FROM date_trunc($1, first_seen))::bigint AS bucket, COUNT(*) AS "
         "discovered, COUNT(*) FILTER (WHERE category IS NOT NULL AND category != '') AS "
         "fingerprinted FROM siem.devices WHERE first_seen >= now() - $2::interval GROUP BY 1 "
         "ORDER BY 1",
         {"day", "90 days"},
         "device time series"},
        {"SELECT host(source_ip) AS ip, COUNT(*) AS event_count FROM siem.events WHERE "
         "event_time >= now() - $1::interval AND source_ip IS NOT NULL GROUP BY source_ip ORDER "
         "BY event_count DESC LIMIT 10",
         {"7 days"},
         "top talkers"},
        {"SELECT (SELECT COUNT(*) FROM siem.events) AS total_events, (SELECT COUNT(*) FROM "
         "siem.devices) AS total_devices, (SELECT COUNT(*) FROM siem.alerts) AS total_alerts, "
         "(SELECT COUNT(*) FROM siem.events WHERE event_type = 0) AS syslog_events, (SELECT "
         "COUNT(*) FROM siem.events WHERE event_type = 1) AS cef_events, (SELECT COUNT(*) FROM "
         "siem.events WHERE event_type = 2) AS dhcp_events, (SELECT COUNT(*) FROM siem.events "
         "WHERE event_type = 3) AS dns_events, (SELECT COUNT(*) FROM siem.alerts WHERE severity "
         "= 'critical') AS critical_alerts, (SELECT COUNT(*) FROM siem.alerts WHERE severity = "
         "'high') AS high_alerts, (SELECT COUNT(*) FROM siem.alerts WHERE severity = 'medium') "
         "AS medium_alerts, (SELECT COUNT(*) FROM siem.alerts WHERE severity = 'low') AS "
         "low_alerts, (SELECT COUNT(*) FROM siem.alerts WHERE severity = 'info') AS info_alerts, "
         "(SELECT EXTRACT(EPOCH FROM MIN(event_time))::bigint FROM siem.events) AS "
         "first_event_at, (SELECT EXTRACT(EPOCH FROM MAX(event_time))::bigint FROM siem.events) "
         "AS last_event_at, (SELECT COUNT(*) FROM siem.cases) AS total_cases, (SELECT "
         "COUNT(DISTINCT source_ip) FROM siem.events WHERE source_ip IS NOT NULL) AS "
         "unique_source_ips",
         {},
         "lifetime statistics"},
    };
    for (const auto& k : cases) {
        EXPECT_EQ(c.exec(k.sql, std::span<const PgParam>(k.params)), Err::None)
            << k.rule << ": " << c.lastError();
    }

    // The epoch written through to_timestamp reads back unchanged whatever
    // the session's time zone: the columns keep instants.
    ASSERT_EQ(c.execScript("SET TIME ZONE 'America/New_York'"), Err::None);
    Result<PgRows> r = c.query(
        "SELECT EXTRACT(EPOCH FROM event_time)::bigint, host(source_ip) FROM siem.events "
        "WHERE (source_ip = $1::inet OR raw_data ILIKE $2) ORDER BY event_time DESC LIMIT 50",
        {"192.168.1.20", "%phone%"});
    ASSERT_TRUE(r.ok() && r.value.next()) << c.lastError();
    EXPECT_EQ(r.value.getI64(0).value, recent);
    EXPECT_EQ(r.value.getText(1).value_or(""), "192.168.1.20") << "host() drops the mask";
    EXPECT_FALSE(r.value.next());
}

}  // namespace
}  // namespace tarvex
