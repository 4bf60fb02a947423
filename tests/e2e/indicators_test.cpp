// End-to-end threat indicators: a file of INDICATOR_FILES matched against
// real UDP lines and re-read when it changes, and indicators imported
// through the API kept in the database across a restart.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "storage/db_support.h"
#include "support/api_daemon.h"
#include "support/daemon.h"
#include "support/http_call.h"

namespace tarvex::test {
namespace {

// Polls GET `target` until its body holds `part` or `ms` pass.
std::string pollFor(int port, const std::string& target, const std::string& part, int ms = 5000) {
    std::string body;
    for (int waited = 0; waited <= ms; waited += 50) {
        RawConn c(port);
        body = call(c, "GET", target).body;
        if (body.find(part) != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return body;
}

struct TempFile {
    std::string path;
    explicit TempFile(const std::string& name)
        : path(std::string(::testing::TempDir()) + "/" + name + "." + std::to_string(getpid())) {}
    ~TempFile() { std::remove(path.c_str()); }
    void write(const std::string& text) const {
        std::string tmp = path + ".new";
        std::ofstream(tmp) << text;
        std::rename(tmp.c_str(), path.c_str());
    }
};

// The queried name of the first dnsmasq A query of the sample logs and its
// line, or empty strings when the logs are not on this machine.
std::pair<std::string, std::string> corpusQuery() {
    std::string dir = corpusDir();
    if (dir.empty()) return {};
    std::ifstream in(dir + "/dns-dnsmasq.log");
    std::string line;
    while (std::getline(in, line)) {
        size_t q = line.find("query[A] ");
        size_t from = line.find(" from ");
        if (q == std::string::npos || from == std::string::npos) continue;
        return {line.substr(q + 9, from - q - 9), line};
    }
    return {};
}

TEST(E2eIndicators, FileIndicatorsAlertFromUdpLinesAndAreReRead) {
    TempFile feed("intel.dat");
    std::string zeek =
        "#fields\tindicator\tindicator_type\tmeta.source\n"
        "203.0.113.0/24\tIntel::SUBNET\tmy-intel\n"
        "evil.example\tIntel::DOMAIN\tmy-intel\n";
    auto [name, dns_line] = corpusQuery();
    std::string parent;
    if (!name.empty()) {
        parent = name.substr(name.find('.') + 1);
        zeek += parent + "\tIntel::DOMAIN\tcorpus\n";
    }
    feed.write(zeek);
    ApiDaemon api({{"INDICATOR_FILES", " " + feed.path + " ,"}});
    ASSERT_TRUE(api.ready());
    const int added = parent.empty() ? 2 : 3;
    EXPECT_TRUE(api.loggedAnywhere("info(indicators): indicator file " + feed.path + ": " +
                                   std::to_string(added) + " added, 0 kept, 0 removed"));

    api.sendUdp(
        "<30>Dec  8 05:00:00 gw dnsmasq[77]: query[A] beacon.evil.example from 192.168.1.20");
    std::string alerts =
        pollFor(api.port, "/api/alerts", "\"title\":\"Threat indicator seen: evil.example");
    EXPECT_NE(alerts.find("\"severity\":\"medium\""), std::string::npos) << alerts;
    EXPECT_NE(alerts.find("\"source_ip\":\"192.168.1.20\""), std::string::npos) << alerts;
    std::string list = pollFor(api.port, "/api/indicators", "\"hits\":1,");
    EXPECT_NE(list.find("{\"type\":\"domain\",\"value\":\"evil.example\",\"source\":\"my-intel\","
                        "\"severity\":\"medium\",\"expiry\":0,"),
              std::string::npos)
        << list;
    if (!parent.empty()) {
        api.sendUdp(dns_line);
        EXPECT_NE(pollFor(api.port, "/api/alerts", "Threat indicator seen: " + parent)
                      .find("Threat indicator seen: " + parent),
                  std::string::npos)
            << "the sample log's query matched its parent domain " << parent;
    }

    // The file changes: one indicator goes, one comes; it is read once the
    // change has held still for a poll (5 s each).
    feed.write(
        "#fields\tindicator\tindicator_type\tmeta.source\n"
        "evil.example\tIntel::DOMAIN\tmy-intel\n"
        "198.51.100.7\tIntel::ADDR\tmy-intel\n");
    EXPECT_TRUE(api.logged("info(indicators): indicator file " + feed.path + ": 1 added, 1 kept, " +
                               std::to_string(added - 1) + " removed",
                           20000));
    list = pollFor(api.port, "/api/indicators", "198.51.100.7");
    EXPECT_EQ(list.find("203.0.113.0/24"), std::string::npos) << list;
    EXPECT_NE(list.find("\"value\":\"evil.example\",\"source\":\"my-intel\",\"severity\":"
                        "\"medium\",\"expiry\":0,"),
              std::string::npos);
    EXPECT_NE(list.find("\"hits\":1,"), std::string::npos) << "hits survive the re-read";
    api.sendUdp(
        "Dec  8 05:00:01 gw [LAN_OUT-A-1] IN=br0 OUT=eth8 SRC=192.168.1.20 DST=203.0.113.9 "
        "LEN=60 PROTO=TCP SPT=40000 DPT=443");
    api.sendUdp(
        "Dec  8 05:00:01 gw [LAN_OUT-A-1] IN=br0 OUT=eth8 SRC=192.168.1.20 DST=198.51.100.7 "
        "LEN=60 PROTO=TCP SPT=40000 DPT=443");
    alerts = pollFor(api.port, "/api/alerts", "Threat indicator seen: 198.51.100.7");
    EXPECT_NE(alerts.find("Threat indicator seen: 198.51.100.7 (ip)"), std::string::npos);
    EXPECT_EQ(alerts.find("203.0.113"), std::string::npos) << "a removed indicator is quiet";
}

TEST(E2eIndicators, ImportedIndicatorsSurviveARestart) {
    TARVEX_PG_URL_OR_SKIP(admin, "TARVEX_TEST_PG_SCRAM_URL");
    SchemaDatabase sdb(admin, "e2e_indicators");
    ASSERT_TRUE(sdb.conn);
    PgConn& db = *sdb.conn;
    const std::string csv =
        "type,value,severity,source,expiry\n"
        "cidr,203.0.113.0/24,critical,drop-list,\n"
        "domain,old.example,low,drop-list,2001-01-01\n"
        "ip,not-an-address,high,drop-list,\n";
    {
        ApiDaemon api({{"DATABASE_URL", sdb.db.url()}});
        ASSERT_TRUE(api.ready());
        RawConn c(api.port);
        HttpReply r = call(c, "POST", "/api/indicators/bulk", csv);
        EXPECT_EQ(r.body,
                  "{\"status\":\"accepted\",\"message\":\"bulk import queued\",\"imported\":2,"
                  "\"duplicate\":0,\"rejected\":1,\"rejected_lines\":[{\"line\":4,\"text\":\"ip,"
                  "not-an-address,high,drop-list,\",\"reason\":\"value does not match its "
                  "type\"}]}");
        EXPECT_NE(call(c, "POST", "/api/indicators/bulk", csv)
                      .body.find("\"imported\":0,\"duplicate\":2,\"rejected\":1,"),
                  std::string::npos)
            << "a second import finds both stored";
        i64 rows = -1;
        for (int i = 0; i < 100 && rows != 2; ++i) {
            rows = count(db, "SELECT count(*) FROM siem.indicators");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ASSERT_EQ(rows, 2);
    }
    EXPECT_EQ(table(db,
                    "SELECT indicator_type, value, source, severity, "
                    "EXTRACT(EPOCH FROM expires_at)::bigint FROM siem.indicators ORDER BY id"),
              "cidr|203.0.113.0/24|drop-list|critical|<null>\n"
              "domain|old.example|drop-list|low|978307200");

    ApiDaemon api({{"DATABASE_URL", sdb.db.url()}});
    ASSERT_TRUE(api.ready());
    ASSERT_TRUE(api.logged("info(persistence): restored 2 indicators", 15000));
    std::string list = pollFor(api.port, "/api/indicators", "\"total\":2,");
    EXPECT_NE(list.find("{\"type\":\"domain\",\"value\":\"old.example\",\"source\":\"drop-list\","
                        "\"severity\":\"low\",\"expiry\":978307200,"),
              std::string::npos)
        << list;
    api.sendUdp("<30>Dec  8 05:00:00 gw dnsmasq[77]: query[A] www.old.example from 192.168.1.20");
    api.sendUdp(
        "Dec  8 05:00:01 gw [LAN_OUT-A-1] IN=br0 OUT=eth8 SRC=192.168.1.20 DST=203.0.113.9 "
        "LEN=60 PROTO=TCP SPT=40000 DPT=443");
    std::string alerts = pollFor(api.port, "/api/alerts", "Threat indicator seen: 203.0.113.0/24");
    EXPECT_NE(alerts.find("\"severity\":\"critical\""), std::string::npos) << alerts;
    EXPECT_EQ(alerts.find("old.example"), std::string::npos) << "the expired one stays quiet";
    i64 stored = -1;
    for (int i = 0; i < 100 && stored != 1; ++i) {
        stored = count(db, "SELECT count(*) FROM siem.alerts WHERE title LIKE 'Threat indicator%'");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(stored, 1) << "the indicator alert is written like a CEF alert";
}

}  // namespace
}  // namespace tarvex::test
