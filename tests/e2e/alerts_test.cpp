// End-to-end alerting with the real daemon: a full alert table goes on
// alerting, and triage made through the API survives a restart through a
// real PostgreSQL server.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <thread>

#include "storage/db_support.h"
#include "support/daemon.h"
#include "support/http_call.h"
#include "support/http_client.h"
#include "support/udp_sender.h"

namespace tarvex::test {
namespace {

// A severe CEF record (an alert each) naming source address 10.{a}.{b}.{c}.
std::string severeCef(u32 n, std::string_view name = "Threat Detected") {
    return "<134>Dec  8 05:00:02 gw CEF:0|Ubiquiti|UniFi Network|10.0|201|" + std::string(name) +
           "|8|proto=TCP src=10." + std::to_string((n >> 16) & 255) + "." +
           std::to_string((n >> 8) & 255) + "." + std::to_string(n & 255) +
           " dst=192.168.0.233 dpt=443";
}

std::map<std::string, std::string> env(int http, int udp, const std::string& url = "") {
    std::map<std::string, std::string> e = {{"PORT", std::to_string(http)},
                                            {"SYSLOG_PORT", std::to_string(udp)},
                                            {"HOST", "127.0.0.1"}};
    if (!url.empty()) e["DATABASE_URL"] = url;
    return e;
}

// Polls GET `target` until its body contains `part`; the last reply.
HttpReply pollFor(int port, const std::string& target, const std::string& part, int ms = 20000) {
    HttpReply r;
    for (int waited = 0; waited <= ms; waited += 100) {
        RawConn c(port);
        r = call(c, "GET", target);
        if (r.body.find(part) != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return r;
}

// Reads feed messages until one contains `part` (or the feed goes quiet).
bool feedSees(RawConn& ws, const std::string& part) {
    for (int i = 0; i < 10000; ++i) {
        WsMessage m = wsReadFrame(ws, 10000);
        if (!m.ok) return false;
        if (m.payload.find(part) != std::string::npos) return true;
    }
    return false;
}

TEST(E2eAlerts, FullTableGoesOnAlerting) {
    const int http = freePort(SOCK_STREAM);
    const int udp = freePort(SOCK_DGRAM);
    Daemon d({}, env(http, udp));
    ASSERT_TRUE(d.waitForLine("HTTP server listening"));
    UdpSender s(udp);
    for (u32 i = 0; i < 4096; ++i) {
        s.send(severeCef(i));
        if (i % 32 == 31) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    HttpReply stats = pollFor(http, "/api/stats", "\"alerts\":4096,");
    ASSERT_NE(stats.body.find("\"alerts\":4096,"), std::string::npos) << stats.body;

    RawConn ws(http);
    ws.send(wsUpgradeRequest());
    ASSERT_EQ(ws.recvN(kWsUpgradeReply.size()), kWsUpgradeReply);
    ASSERT_TRUE(wsReadFrame(ws).ok);  // welcome

    s.send(severeCef(99999, "Late Threat"));
    EXPECT_TRUE(feedSees(ws, "\"id\":4097,\"title\":\"Late Threat - 10.1.134.159")) << "broadcast";
    HttpReply list = pollFor(http, "/api/alerts?search=Late", "\"id\":4097,");
    EXPECT_NE(list.body.find("\"total\":1,"), std::string::npos) << list.body;
    RawConn c(http);
    EXPECT_EQ(call(c, "GET", "/api/alerts/1").status, 404) << "the oldest alert made room";
    EXPECT_EQ(call(c, "GET", "/api/alerts/2").status, 200);
    EXPECT_TRUE(d.waitForLine("alert table full (4096 alerts), alert 1 (new) makes room"));
}

TEST(E2eAlerts, TriageSurvivesARestart) {
    TARVEX_PG_URL_OR_SKIP(admin, "TARVEX_TEST_PG_SCRAM_URL");
    SchemaDatabase sdb(admin, "e2e_triage");
    ASSERT_TRUE(sdb.conn);
    PgConn& db = *sdb.conn;
    const int http = freePort(SOCK_STREAM);
    {
        const int udp = freePort(SOCK_DGRAM);
        Daemon d({}, env(http, udp, sdb.db.url()));
        ASSERT_TRUE(d.waitForLine("restore complete"));
        ASSERT_TRUE(waitForApi(http));
        RawConn ws(http);
        ws.send(wsUpgradeRequest());
        ASSERT_EQ(ws.recvN(kWsUpgradeReply.size()), kWsUpgradeReply);
        ASSERT_TRUE(wsReadFrame(ws).ok);
        UdpSender s(udp);
        for (u32 i = 1; i <= 3; ++i) s.send(severeCef(i));
        ASSERT_NE(pollFor(http, "/api/alerts", "\"total\":3,").body.find("\"total\":3,"),
                  std::string::npos);
        for (int waited = 0; waited < 20000 && count(db, "SELECT count(*) FROM siem.alerts") < 3;
             waited += 100)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(scalar(db,
                         "SELECT string_agg(alert_id::text, ',' ORDER BY alert_id) FROM "
                         "siem.alerts"),
                  "1,2,3");

        RawConn c(http);
        HttpReply r = call(c, "PATCH", "/api/alerts/1",
                           std::string_view(R"({"status":"acknowledged","note":"looking"})"));
        EXPECT_EQ(r.status, 200) << r.body;
        EXPECT_NE(r.body.find("\"status\":\"acknowledged\""), std::string::npos) << r.body;
        EXPECT_TRUE(
            feedSees(ws, R"({"type":"alert_status","data":{"id":1,"status":"acknowledged"}})"));
        EXPECT_EQ(
            call(c, "PATCH", "/api/alerts/2", std::string_view(R"({"status":"resolved"})")).status,
            200);
        EXPECT_EQ(
            call(c, "PATCH", "/api/alerts/3", std::string_view(R"({"status":"done"})")).status,
            400);
        std::string rows;
        for (int waited = 0; waited < 20000; waited += 100) {
            rows = scalar(db,
                          "SELECT string_agg(alert_id || ':' || status || ':' || "
                          "COALESCE(note, '-') || ':' || (status_changed_at IS NOT NULL), ',' "
                          "ORDER BY alert_id) FROM siem.alerts");
            if (rows == "1:acknowledged:looking:true,2:resolved:-:true,3:new:-:false") break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_EQ(rows, "1:acknowledged:looking:true,2:resolved:-:true,3:new:-:false");
        d.stop();
    }

    const int udp = freePort(SOCK_DGRAM);
    Daemon again({}, env(http, udp, sdb.db.url()));
    ASSERT_TRUE(again.waitForLine("info(persistence): restored 2 alerts"));
    ASSERT_TRUE(waitForApi(http));
    RawConn c(http);
    HttpReply one = call(c, "GET", "/api/alerts/1");
    EXPECT_EQ(one.status, 200);
    EXPECT_NE(one.body.find("\"status\":\"acknowledged\""), std::string::npos) << one.body;
    EXPECT_NE(one.body.find("\"note\":\"looking\""), std::string::npos) << one.body;
    HttpReply closed = call(c, "GET", "/api/alerts/2");
    EXPECT_EQ(closed.status, 200) << "a closed alert is read from the database";
    EXPECT_NE(closed.body.find("\"status\":\"resolved\""), std::string::npos) << closed.body;
    EXPECT_NE(closed.body.find("\"title\":\"Threat Detected - 10.0.0.2"), std::string::npos)
        << closed.body;
    EXPECT_EQ(call(c, "GET", "/api/alerts/9").status, 404);
    UdpSender s(udp);
    s.send(severeCef(4));
    HttpReply next = pollFor(http, "/api/alerts/4", "\"id\":4,");
    EXPECT_EQ(next.status, 200) << "new alerts are numbered above the stored ones";
}

}  // namespace
}  // namespace tarvex::test
