// identity_test.cpp: end to end, a user's correction of a device survives a
// restart with a database, and an older database is upgraded in place.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <thread>

#include "storage/db_support.h"
#include "support/daemon.h"
#include "support/http_call.h"
#include "support/udp_sender.h"

namespace tarvex::test {
namespace {

std::map<std::string, std::string> envFor(const std::string& url, int http, int udp) {
    return {{"PORT", std::to_string(http)},
            {"SYSLOG_PORT", std::to_string(udp)},
            {"HOST", "127.0.0.1"},
            {"DATABASE_URL", url}};
}

std::string waitScalar(PgConn& c, const std::string& sql, const std::string& want,
                       int ms = 15000) {
    std::string v;
    for (int waited = 0; waited <= ms; waited += 100) {
        v = scalar(c, sql);
        if (v == want) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return v;
}

TEST(E2eIdentity, OverrideSurvivesARestartAndIdentificationNeverOverwritesIt) {
    TARVEX_PG_URL_OR_SKIP(admin, "TARVEX_TEST_PG_SCRAM_URL");
    SchemaDatabase sdb(admin, "e2e_identity");
    ASSERT_TRUE(sdb.conn);
    PgConn& c = *sdb.conn;
    const std::string lease =
        "<30>Dec  8 05:00:00 gw dnsmasq-dhcp[77]: DHCPACK(br0) 192.168.1.20 3c:22:fb:12:34:56 "
        "Annas-MacBook-Pro";
    {
        const int http = freePort(SOCK_STREAM), udp = freePort(SOCK_DGRAM);
        Daemon d({}, envFor(sdb.db.url(), http, udp));
        ASSERT_TRUE(d.waitForLine("info(main): restore complete: 0 devices, 0 nodes, 0 edges, 0 alerts"));
        ASSERT_TRUE(waitForApi(http));
        UdpSender s(udp);
        s.send(lease);
        RawConn api(http);
        HttpReply got;
        for (int i = 0; i < 100; ++i) {
            got = call(api, "GET", "/api/devices/3C:22:FB:12:34:56");
            if (got.status == 200) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_EQ(got.status, 200) << got.body;
        EXPECT_NE(got.body.find("\"hostname\":\"Annas-MacBook-Pro\""), std::string::npos) << got.body;

        HttpReply put = call(api, "PUT", "/api/devices/3C:22:FB:12:34:56",
                             R"({"name":"Anna's work laptop","kind":"laptop"})");
        ASSERT_EQ(put.status, 200) << put.body;
        EXPECT_NE(put.body.find("\"label\":\"Anna's work laptop\""), std::string::npos) << put.body;
        EXPECT_NE(put.body.find("\"kind\":\"laptop\""), std::string::npos) << put.body;
        EXPECT_EQ(waitScalar(c, "SELECT user_name FROM siem.devices WHERE mac = '3c:22:fb:12:34:56'",
                             "Anna's work laptop"),
                  "Anna's work laptop");
        // Identification running again (a new lease) leaves the correction.
        s.send(lease + " ");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        got = call(api, "GET", "/api/devices?search=anna");
        EXPECT_NE(got.body.find("\"label\":\"Anna's work laptop\""), std::string::npos) << got.body;
        EXPECT_EQ(put.status, 200);
        HttpReply bad = call(api, "PUT", "/api/devices/3C:22:FB:12:34:56", R"({"name":7})");
        EXPECT_EQ(bad.status, 400) << bad.body;
        HttpReply unknown = call(api, "PUT", "/api/devices/00:00:00:00:00:09", R"({"name":"x"})");
        EXPECT_EQ(unknown.status, 404) << unknown.body;
        d.stop();  // SIGKILL: what counts is what was written before
    }
    EXPECT_EQ(scalar(c, "SELECT hostname FROM siem.devices WHERE mac = '3c:22:fb:12:34:56'"),
              "Annas-MacBook-Pro");

    const int http = freePort(SOCK_STREAM), udp = freePort(SOCK_DGRAM);
    Daemon again({}, envFor(sdb.db.url(), http, udp));
    ASSERT_TRUE(again.waitForLine("info(persistence): restored 1 devices", 20000));
    ASSERT_TRUE(waitForApi(http));
    RawConn api(http);
    HttpReply got = call(api, "GET", "/api/devices?status=inactive&search=3C:22");
    if (got.body.find("Anna's work laptop") == std::string::npos)
        got = call(api, "GET", "/api/devices?search=3C:22");
    EXPECT_NE(got.body.find("\"label\":\"Anna's work laptop\""), std::string::npos) << got.body;
    EXPECT_NE(got.body.find("\"hostname\":\"Annas-MacBook-Pro\""), std::string::npos) << got.body;
    EXPECT_NE(got.body.find("\"kind\":\"laptop\""), std::string::npos) << got.body;
    // A lease after the restart: identification runs, the correction stays,
    // in memory and in the database.
    UdpSender s(udp);
    s.send(lease);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    got = call(api, "GET", "/api/devices/3C:22:FB:12:34:56");
    EXPECT_NE(got.body.find("\"label\":\"Anna's work laptop\""), std::string::npos) << got.body;
    EXPECT_EQ(scalar(c, "SELECT user_kind FROM siem.devices WHERE mac = '3c:22:fb:12:34:56'"),
              "laptop");
}

TEST(E2eIdentity, SchemaUpgradesADeviceTableWithoutTheNewColumns) {
    TARVEX_PG_URL_OR_SKIP(admin, "TARVEX_TEST_PG_SCRAM_URL");
    SchemaDatabase sdb(admin, "e2e_identity_upgrade");
    ASSERT_TRUE(sdb.conn);
    PgConn& c = *sdb.conn;
    // A database of the previous version: the four columns are missing.
    ASSERT_EQ(c.execScript("ALTER TABLE siem.devices DROP COLUMN hostname, DROP COLUMN vendor, "
                           "DROP COLUMN user_name, DROP COLUMN user_kind; INSERT INTO "
                           "siem.devices (mac, label) VALUES ('00:11:32:00:00:01', 'old')"),
              Err::None);
    ASSERT_EQ(c.execScript(schemaText().c_str()), Err::None) << c.lastError();
    EXPECT_EQ(scalar(c, "SELECT count(*) FROM information_schema.columns WHERE table_schema = "
                        "'siem' AND table_name = 'devices' AND column_name IN ('hostname', "
                        "'vendor', 'user_name', 'user_kind')"),
              "4");
    EXPECT_EQ(scalar(c, "SELECT label FROM siem.devices"), "old");
}

}  // namespace
}  // namespace tarvex::test
