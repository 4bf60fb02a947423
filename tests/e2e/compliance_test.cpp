// End-to-end: compliance coverage and evidence of the real daemon, with
// collision alerts raised over UDP.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>

#include "support/api_daemon.h"

namespace tarvex::test {
namespace {

using nlohmann::json;

struct ControlView {
    bool covered;
    int alert_count;
};

std::map<std::string, ControlView> coverageByControl(const json& report) {
    std::map<std::string, ControlView> out;
    for (const auto& c : report["controls"])
        out[c["control_id"]] = {c["covered"].get<bool>(), c["alert_count"].get<int>()};
    return out;
}

TEST(E2eCompliance, CoverageWithEmptyRuleTable) {
    ApiDaemon api;
    ASSERT_TRUE(api.ready());
    RawConn c(api.port);
    const struct {
        const char* framework;
        const char* name;
        int covered;
        int total;
        std::set<std::string> covered_ids;
    } rows[] = {
        {"pci-dss-4", "PCI DSS 4.0", 3, 6, {"PCI-1.3.1", "PCI-10.2.1", "PCI-11.5.1"}},
        {"pci_dss_4", "PCI DSS 4.0", 3, 6, {"PCI-1.3.1", "PCI-10.2.1", "PCI-11.5.1"}},
        {"nist-800-53", "NIST SP 800-53", 4, 6, {"AC-2", "SI-4", "CA-7", "SC-7"}},
        {"iso_27001", "ISO/IEC 27001", 3, 6, {"A.9.4.2", "A.12.6.1", "A.13.1.1"}},
    };
    for (const auto& row : rows) {
        HttpReply r = call(c, "GET", std::string("/api/compliance/") + row.framework);
        ASSERT_EQ(r.status, 200) << row.framework;
        json report = json::parse(r.body);
        EXPECT_EQ(report["framework"], row.name) << row.framework;
        EXPECT_EQ(report["covered_count"], row.covered) << row.framework;
        EXPECT_EQ(report["total_count"], row.total) << row.framework;
        EXPECT_EQ(report["total"], row.total) << row.framework;
        std::set<std::string> covered;
        for (const auto& [id, v] : coverageByControl(report)) {
            if (v.covered) covered.insert(id);
            EXPECT_EQ(v.alert_count, 0) << id << ": no alerts yet";
        }
        EXPECT_EQ(covered, row.covered_ids) << row.framework;
    }
    EXPECT_EQ(call(c, "GET", "/api/compliance/pci-dss-4").body,
              call(c, "GET", "/api/compliance/pci_dss_4").body)
        << "both spellings give the same report";
    const std::string soc2 = call(c, "GET", "/api/compliance/soc2").body;
    EXPECT_NE(soc2.find("\"name\":\"System Operations \xE2\x80\x94 Detect Anomalies\""),
              std::string::npos)
        << "the em dash is returned as UTF-8 bytes";

    const std::string unknown =
        "{\"error\":\"unknown framework\",\"supported\":[\"pci-dss-4\",\"nist-800-53\",\"soc2\","
        "\"hipaa\",\"iso-27001\"]}";
    const struct {
        std::string target;
        int status;
        std::string body;
        const char* rule;
    } refusals[] = {
        {"/api/compliance/PCI-DSS-4", 404, unknown, "letter case matters"},
        {"/api/compliance/gdpr", 404, unknown, "unknown framework lists the supported ones"},
        {"/api/compliance/GDPR/evidence", 404, "{\"error\":\"unknown framework\"}",
         "evidence of an unknown framework"},
        {"/api/compliance/hipaa/evidence?from=%x", 400, "{\"error\":\"bad query string\"}",
         "unparsable evidence query"},
        {"/api/compliance/hipaa/evidence/more", 404, "Not Found", "extra segment"},
    };
    for (const auto& f : refusals) {
        HttpReply r = call(c, "GET", f.target);
        EXPECT_EQ(r.status, f.status) << f.rule;
        EXPECT_EQ(r.body, f.body) << f.rule;
    }
}

TEST(E2eCompliance, CollisionAlertsAreEvidenceForNetworkScanControls) {
    ApiDaemon api;
    ASSERT_TRUE(api.ready());
    ASSERT_TRUE(api.logged("info(listener): syslog UDP listener started"));
    // Two drops from one local source, then filler lines up to the 100th
    // event, on which collision detection runs.
    const std::string drop =
        "kernel: [LAN_IN-D-1] IN=br0 SRC=192.168.5.5 DST=192.168.5.6 LEN=60 PROTO=TCP SPT=1 "
        "DPT=2";
    api.sendUdp(drop);
    api.sendUdp(drop);
    for (int i = 0; i < 98; ++i) api.sendUdp("filler " + std::to_string(i));
    ASSERT_TRUE(api.logged("info(collision): detectCollisions: found"));

    RawConn c(api.port);
    HttpReply r = call(c, "GET", "/api/compliance/pci-dss-4/evidence");
    ASSERT_EQ(r.status, 200);
    json report = json::parse(r.body);
    EXPECT_EQ(report["framework"], "PCI DSS 4.0");
    EXPECT_EQ(report["from"], 0);
    EXPECT_EQ(report["to"], 9223372036854775807LL) << "absent bounds are the whole range";
    EXPECT_GT(report["generated_at"].get<long long>(), 0);
    std::map<std::string, json> evidence;
    for (const auto& ctl : report["controls"]) evidence[ctl["control_id"]] = ctl["evidence"];
    ASSERT_EQ(evidence.size(), 6u);
    ASSERT_FALSE(evidence["PCI-1.3.1"].empty()) << r.body;
    const json& first = evidence["PCI-1.3.1"][0];
    EXPECT_EQ(first["alert_id"], 1);
    EXPECT_EQ(first["title"].get<std::string>().rfind("Collision on ", 0), 0u);
    EXPECT_EQ(evidence["PCI-1.3.1"], evidence["PCI-11.5.1"]) << "both list T1046 and T1595";
    for (const char* id : {"PCI-1.3.2", "PCI-6.4.1", "PCI-10.2.1", "PCI-10.6.1"})
        EXPECT_TRUE(evidence[id].empty()) << id << " lists no scanning technique";

    json nist = json::parse(call(c, "GET", "/api/compliance/nist_800_53/evidence").body);
    for (const auto& ctl : nist["controls"]) {
        std::string id = ctl["control_id"];
        bool scan = id == "SI-4" || id == "CA-7" || id == "SC-7";
        EXPECT_EQ(ctl["evidence"].empty(), !scan) << id;
    }

    // The summary counts alerts only by technique ids in their texts.
    json summary = json::parse(call(c, "GET", "/api/compliance/pci-dss-4").body);
    for (const auto& [id, v] : coverageByControl(summary))
        EXPECT_EQ(v.alert_count, 0) << id << ": a collision alert names no technique";

    long long t = first["created_at"].get<long long>();
    const struct {
        std::string query;
        bool listed;
        const char* rule;
    } windows[] = {
        {"?from=" + std::to_string(t) + "&to=" + std::to_string(t), true, "both ends included"},
        {"?from=" + std::to_string(t + 1), false, "after the alert"},
        {"?to=" + std::to_string(t - 1), false, "before the alert"},
        {"?from=10&to=5", false, "from greater than to lists nothing"},
        {"?from=abc&to=", true, "unreadable bounds are the whole range"},
    };
    for (const auto& w : windows) {
        json win = json::parse(call(c, "GET", "/api/compliance/pci-dss-4/evidence" + w.query).body);
        ASSERT_EQ(win["controls"].size(), 6u) << w.rule;
        EXPECT_EQ(win["controls"][0]["evidence"].empty(), !w.listed) << w.rule;
    }
}

}  // namespace
}  // namespace tarvex::test
