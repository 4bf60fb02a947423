// End-to-end with a database: the real daemon writes what it learns, a
// restarted daemon restores it, and a database that goes away in the middle
// of a run costs no ingest and is written to again once it is back.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "storage/db_support.h"
#include "support/daemon.h"
#include "support/http_call.h"
#include "support/udp_sender.h"

namespace tarvex::test {
namespace {

std::vector<std::string> corpusLines() {
    std::vector<std::string> lines;
    std::string dir = corpusDir();
    if (dir.empty()) return lines;
    for (const char* f : {"cef.log", "dhcp-dnsmasq.log", "dhcp-iscdhcpd.log", "dns-bind.log",
                          "dns-dnsmasq.log", "firewall-iptables.log", "firewall-pfsense.log",
                          "syslog-rfc3164-nopri.log", "syslog-rfc3164.log", "syslog-rfc5424.log"}) {
        std::ifstream in(dir + "/" + f);
        std::string line;
        while (std::getline(in, line))
            if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

// Polls a count query until `ok(value)` holds or `ms` pass; returns the value.
template <class Pred>
i64 pollCount(PgConn& c, const std::string& sql, Pred ok, int ms = 20000) {
    i64 v = -1;
    for (int waited = 0; waited <= ms; waited += 100) {
        v = count(c, sql);
        if (ok(v)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return v;
}

std::map<std::string, std::string> daemonEnv(const std::string& url, int udp) {
    return {{"PORT", std::to_string(freePort(SOCK_STREAM))},
            {"SYSLOG_PORT", std::to_string(udp)},
            {"HOST", "127.0.0.1"},
            {"DATABASE_URL", url}};
}

TEST(E2ePersistence, RestartRestoresDevicesGraphAndOpenAlerts) {
    TARVEX_PG_URL_OR_SKIP(admin, "TARVEX_TEST_PG_SCRAM_URL");
    std::vector<std::string> lines = corpusLines();
    if (lines.empty()) GTEST_SKIP() << "no sample logs on this machine";
    SchemaDatabase sdb(admin, "e2e_restore");
    ASSERT_TRUE(sdb.conn);
    PgConn& c = *sdb.conn;

    int udp = freePort(SOCK_DGRAM);
    {
        Daemon d({}, daemonEnv(sdb.db.url(), udp));
        ASSERT_TRUE(
            d.waitForLine("info(persistence): persistence layer initialized (pool size=4)"));
        ASSERT_TRUE(d.waitForLine("info(main): persistence layer active"));
        ASSERT_TRUE(
            d.waitForLine("info(main): restore complete: 0 devices, 0 nodes, 0 edges, 0 alerts"));
        UdpSender s(udp);
        for (const std::string& l : lines) s.send(l);
        // The graph is written on the first event and then every 30 s of
        // event time: one more event after 30 s writes all of it.
        i64 events = pollCount(c, "SELECT count(*) FROM siem.events",
                               [&](i64 v) { return v == static_cast<i64>(lines.size()); });
        ASSERT_EQ(events, static_cast<i64>(lines.size())) << "every event written in batches";
        std::this_thread::sleep_for(std::chrono::seconds(31));
        s.send(lines.front());
        ASSERT_TRUE(d.waitForLine("info(persistence): edge persist:", 15000));
        pollCount(c, "SELECT count(*) FROM siem.events",
                  [&](i64 v) { return v == static_cast<i64>(lines.size()) + 1; });
        d.stop();  // SIGKILL: nothing is written at exit
    }

    i64 devices = count(c, "SELECT count(*) FROM siem.devices");
    i64 nodes = count(c, "SELECT count(*) FROM siem.graph_nodes");
    i64 edges = count(c, "SELECT count(*) FROM siem.graph_edges");
    ASSERT_GT(devices, 0);
    ASSERT_GT(nodes, 0);
    ASSERT_GT(edges, 0);
    ASSERT_GE(count(c, "SELECT count(*) FROM siem.alerts"), 3);
    // Close two alerts: they stay behind at the restore.
    ASSERT_EQ(c.execScript("UPDATE siem.alerts SET status = 'resolved' WHERE id = (SELECT min(id) "
                           "FROM siem.alerts); UPDATE siem.alerts SET status = 'false_positive' "
                           "WHERE id = (SELECT max(id) FROM siem.alerts)"),
              Err::None);
    i64 open = count(c, "SELECT count(*) FROM siem.alerts WHERE status = 'new'");

    auto env = daemonEnv(sdb.db.url(), freePort(SOCK_DGRAM));
    Daemon again({}, env);
    std::string want =
        "info(main): restore complete: " + std::to_string(std::min<i64>(devices, 200)) +
        " devices, " + std::to_string(nodes) + " nodes, " + std::to_string(edges) + " edges, " +
        std::to_string(open) + " alerts";
    EXPECT_TRUE(again.waitForLine(want, 20000)) << want;
    EXPECT_TRUE(
        again.waitForLine("info(persistence): restored " + std::to_string(open) + " alerts"));

    // The analytics routes now answer from the database, not the fixed
    // no-database bodies.
    const int port = std::stoi(env["PORT"]);
    ASSERT_TRUE(waitForApi(port));
    RawConn http(port);
    HttpReply lifetime = call(http, "GET", "/api/stats/lifetime");
    EXPECT_EQ(lifetime.status, 200);
    EXPECT_NE(lifetime.body.find("\"total_events\":" + std::to_string(lines.size() + 1)),
              std::string::npos)
        << lifetime.body;
    HttpReply series = call(http, "GET", "/api/analytics/events?range=24h");
    EXPECT_EQ(series.status, 200);
    EXPECT_EQ(series.body.rfind("{", 0), 0u) << series.body;
    // An alert whose source has no events left in the ring (a fresh daemon)
    // takes its related events from the database.
    i64 with_events = count(c,
                            "SELECT COALESCE((SELECT a.id FROM siem.alerts a WHERE a.status = "
                            "'new' AND EXISTS (SELECT 1 FROM siem.events e WHERE e.source_ip = "
                            "a.source_ip) ORDER BY a.id DESC LIMIT 1), 0)");
    if (with_events > 0) {
        HttpReply detail = call(http, "GET", "/api/alerts/" + std::to_string(with_events));
        EXPECT_EQ(detail.status, 200);
        EXPECT_NE(detail.body.find("\"event_source\":\"database\""), std::string::npos)
            << detail.body;
    }
}

TEST(E2ePersistence, DatabaseOutageMidRunKeepsIngestingAndFlushesWhatItKept) {
    TARVEX_PG_URL_OR_SKIP(admin, "TARVEX_TEST_PG_SCRAM_URL");
    SchemaDatabase sdb(admin, "e2e_outage");
    ASSERT_TRUE(sdb.conn);
    PgConn& c = *sdb.conn;
    PgConn& ctl = sdb.db.admin();  // a session outside the scratch database
    const std::string name = sdb.db.name();

    int udp = freePort(SOCK_DGRAM);
    // Over TLS, as a remote database would be reached.
    Daemon d({}, daemonEnv(withParam(sdb.db.url(), "sslmode=require"), udp));
    ASSERT_TRUE(d.waitForLine("info(main): persistence layer active"));
    ASSERT_TRUE(d.waitForLine("info(main): restore complete:"));
    UdpSender s(udp);
    for (int i = 0; i < 50; ++i)
        s.send("<13>Oct 11 22:14:15 host app: before " + std::to_string(i));
    ASSERT_EQ(pollCount(c, "SELECT count(*) FROM siem.events", [](i64 v) { return v == 50; }), 50);
    c.execScript("SELECT 1");  // keep our own session; it is ended below too

    // The database goes away: no new sessions, existing ones ended.
    ASSERT_EQ(ctl.execScript(("ALTER DATABASE " + name + " ALLOW_CONNECTIONS false").c_str()),
              Err::None)
        << ctl.lastError();
    ASSERT_EQ(ctl.execScript(("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE "
                              "datname = '" +
                              name + "'")
                                 .c_str()),
              Err::None);
    // Severe CEF records: each one's alert line shows the pipeline went on.
    for (int i = 0; i < 300; ++i) {
        s.send("CEF:0|V|P|1|9|Bad|8|src=10.0.0.1 msg=outage " + std::to_string(i));
    }
    EXPECT_TRUE(
        d.waitForLine("info(pipeline): CEF high-severity alert created: id=300 severity=8", 15000));
    EXPECT_TRUE(d.waitForLine("warning(pipeline): failed to flush events to database:", 15000));
    std::this_thread::sleep_for(std::chrono::seconds(2));

    // Back again: the pool reconnects and the kept events are written.
    ASSERT_EQ(ctl.execScript(("ALTER DATABASE " + name + " ALLOW_CONNECTIONS true").c_str()),
              Err::None);
    std::unique_ptr<PgConn> fresh = connectOrFail(sdb.db.url());
    ASSERT_TRUE(fresh);
    const std::string outage = "SELECT count(*) FROM siem.events WHERE raw_data LIKE '%outage%'";
    EXPECT_EQ(pollCount(*fresh, outage, [](i64 v) { return v == 256; }), 256)
        << "the newest 256 of the 300 kept through the outage";
    EXPECT_EQ(count(*fresh, "SELECT count(*) FROM siem.events WHERE raw_data LIKE '%outage 44'"),
              1);
    EXPECT_EQ(count(*fresh, "SELECT count(*) FROM siem.events WHERE raw_data LIKE '%outage 43'"),
              0);
    EXPECT_EQ(count(*fresh, "SELECT count(*) FROM siem.events WHERE raw_data LIKE '%outage 299'"),
              1);
}

TEST(E2ePersistence, UnusableDatabaseUrlRunsWithoutPersistence) {
    struct Case {
        std::string url;
        std::string persistence_line;
        std::string error;
    };
    const Case cases[] = {
        {"mysql://u@127.0.0.1/x",
         "error(persistence): failed to parse DATABASE_URL: InvalidUriScheme", "InvalidUriScheme"},
        {"postgresql://u:p@127.0.0.1:" + std::to_string(freePort(SOCK_STREAM)) + "/x",
         "error(persistence): failed to create connection pool: ConnectionFailed",
         "ConnectionFailed"},
    };
    for (const Case& c : cases) {
        Daemon d({}, daemonEnv(c.url, freePort(SOCK_DGRAM)));
        EXPECT_TRUE(d.waitForLine(c.persistence_line)) << c.url;
        EXPECT_TRUE(d.waitForLine("warning(main): failed to initialize persistence layer: " +
                                  c.error + " \xE2\x80\x94 running without database"))
            << c.url;
        ASSERT_TRUE(d.waitForLine("info(server): starting HTTP server on")) << c.url;
        for (const std::string& l : d.lines()) {
            EXPECT_EQ(l.find("restor"), std::string::npos) << "no restore thread: " << l;
        }
    }
}

}  // namespace
}  // namespace tarvex::test
