// The compliance report bodies: coverage and evidence, and the room that
// always holds the largest evidence body.
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "api/compliance.h"
#include "rules/engine.h"
#include "support/json_text.h"
#include "support/mapped_table.h"

namespace tarvex {
namespace {

using test::MappedTable;
using test::writtenJson;
constexpr i64 kMax = std::numeric_limits<i64>::max();
constexpr i64 kMin = std::numeric_limits<i64>::min();

ComplianceAlert alert(u32 id, std::string_view title, std::string_view evidence = "", u32 waves = 0,
                      i64 created_at = 1000) {
    return {created_at, id, waves, 3, title, "desc", evidence};
}

TEST(ComplianceBodies, CoverageAndEvidenceBodies) {
    MappedTable<RuleEngine> rules;
    ASSERT_TRUE(rules.ok());
    const ComplianceAlert alerts[] = {alert(1, "T1078 login")};
    CoverageReport coverage = computeCoverage(ComplianceFramework::hipaa, *rules, alerts);
    std::string body = writtenJson([&](JsonWriter& j) { writeCoverageBody(j, coverage); });
    const std::string head =
        "{\"framework\":\"HIPAA\",\"covered_count\":2,\"total_count\":5,\"controls\":[{"
        "\"control_id\":\"164.312(b)\",\"name\":\"Audit Controls\",\"description\":\"Implement "
        "hardware, software, and procedural mechanisms to record and examine access to ePHI.\","
        "\"covered\":true,\"alert_count\":1,\"techniques\":[\"T1078\",\"T1530\",\"T1213\"]},";
    EXPECT_EQ(body.substr(0, head.size()), head);
    EXPECT_TRUE(body.ends_with("\"T1556\",\"T1136\"]}],\"total\":5}"));
    EXPECT_EQ(nlohmann::json::parse(body)["controls"].size(), 5u);

    auto report = std::make_unique<EvidenceReport>();
    report->begin(ComplianceFramework::nist_800_53, {10, 20});
    report->addAlert({15, 7, 2, 4, "Collision \"x\"", "two\twaves", ""});
    body = writtenJson([&](JsonWriter& j) { writeEvidenceBody(j, *report, 1234); });
    const std::string entry =
        "[{\"alert_id\":7,\"title\":\"Collision \\\"x\\\"\",\"severity\":\"critical\","
        "\"created_at\":15,\"description\":\"two\\twaves\"}]";
    EXPECT_EQ(body,
              "{\"framework\":\"NIST SP 800-53\",\"from\":10,\"to\":20,\"generated_at\":1234,"
              "\"controls\":[{\"control_id\":\"AC-2\",\"name\":\"Account Management\","
              "\"evidence\":[]},{\"control_id\":\"AU-6\",\"name\":\"Audit Record Review, "
              "Analysis, and Reporting\",\"evidence\":[]},{\"control_id\":\"SI-4\",\"name\":"
              "\"System Monitoring\",\"evidence\":" +
                  entry +
                  "},{\"control_id\":\"IR-4\",\"name\":\"Incident Handling\",\"evidence\":[]},"
                  "{\"control_id\":\"CA-7\",\"name\":\"Continuous Monitoring\",\"evidence\":" +
                  entry +
                  "},{\"control_id\":\"SC-7\",\"name\":\"Boundary Protection\","
                  "\"evidence\":" +
                  entry + "}]}");

    // Fifty entries per control, every text byte escaped at its worst, fit the room.
    std::string bad(512, '\xFF');
    report->begin(ComplianceFramework::pci_dss_4, {kMin, kMax});
    for (int i = 0; i < 60; ++i) report->addAlert({kMin, 0xFFFFFFFFu, 1, 4, bad, bad, ""});
    body = writtenJson([&](JsonWriter& j) { writeEvidenceBody(j, *report, kMin); });
    EXPECT_LE(body.size(), kMaxEvidenceBodyBytes);
}

}  // namespace
}  // namespace tarvex
