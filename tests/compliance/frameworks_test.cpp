// Compliance: the catalogue, framework names, coverage with and without
// rules, alert counts, evidence matching, window, cap and report bodies.
#include "compliance/frameworks.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "rules/engine.h"
#include "support/mapped_table.h"

namespace tarvex {
namespace {

using test::MappedTable;

ComplianceAlert alert(u32 id, std::string_view title, std::string_view evidence = "", u32 waves = 0,
                      i64 created_at = 1000) {
    return {created_at, id, waves, 3, title, "desc", evidence};
}

std::vector<std::string> controlIds(const CoverageReport& r, bool covered) {
    std::vector<std::string> ids;
    for (u32 k = 0; k < r.control_count; ++k)
        if (r.controls[k].covered == covered)
            ids.emplace_back(r.controls[k].control->getControlId());
    return ids;
}

TEST(ComplianceCatalogue, HoldsTwentyNineControlsInFiveFrameworks) {
    struct Row {
        ComplianceFramework f;
        u32 count;
        const char* first;
        const char* last;
    };
    const Row rows[] = {
        {ComplianceFramework::pci_dss_4, 6, "PCI-1.3.1", "PCI-11.5.1"},
        {ComplianceFramework::nist_800_53, 6, "AC-2", "SC-7"},
        {ComplianceFramework::soc2, 6, "CC6.1", "CC7.4"},
        {ComplianceFramework::hipaa, 5, "164.312(b)", "164.312(a)(1)"},
        {ComplianceFramework::iso_27001, 6, "A.9.4.2", "A.16.1.4"},
    };
    u32 total = 0;
    for (const auto& r : rows) {
        ControlList l = controlsForFramework(r.f);
        ASSERT_EQ(l.count, r.count) << frameworkName(r.f);
        EXPECT_EQ(l.items[0]->getControlId(), r.first);
        EXPECT_EQ(l.items[l.count - 1]->getControlId(), r.last);
        total += l.count;
    }
    EXPECT_EQ(total, kControlCount);

    const ComplianceControl& first = CONTROLS[0];
    EXPECT_EQ(first.getName(), "Restrict inbound and outbound traffic to that which is necessary");
    EXPECT_EQ(first.getDescription(),
              "Network access controls must restrict traffic to only what is required for the "
              "cardholder data environment.");
    EXPECT_EQ(first.technique_count, 3u);
    EXPECT_EQ(first.getTechnique(2), "T1590");
    EXPECT_EQ(first.getTechnique(3), "");
    EXPECT_EQ(CONTROLS[4].getTechnique(1), "T1070.001");
    EXPECT_EQ(CONTROLS[10].technique_count, 5u) << "CA-7 lists five techniques";
    EXPECT_EQ(CONTROLS[25].getDescription(),
              "Information about technical vulnerabilities of systems must be obtained and the "
              "organisation's exposure evaluated.");

    // Rows 13 to 18 carry a UTF-8 em dash between spaces.
    for (u32 i = 12; i < 18; ++i)
        EXPECT_NE(CONTROLS[i].getName().find(" \xE2\x80\x94 "), std::string_view::npos) << i;
    EXPECT_EQ(CONTROLS[12].getName(),
              "Logical and Physical Access Controls \xE2\x80\x94 Logical Access Security");
}

TEST(ComplianceCatalogue, FrameworkTextRules) {
    struct Row {
        std::string_view text;
        std::optional<ComplianceFramework> want;
        const char* rule;
    };
    const Row rows[] = {
        {"pci-dss-4", ComplianceFramework::pci_dss_4, "dashed form"},
        {"pci_dss_4", ComplianceFramework::pci_dss_4, "enumerator form"},
        {"nist-800-53", ComplianceFramework::nist_800_53, "dashed form"},
        {"nist_800_53", ComplianceFramework::nist_800_53, "enumerator form"},
        {"soc2", ComplianceFramework::soc2, "soc2"},
        {"hipaa", ComplianceFramework::hipaa, "hipaa"},
        {"iso-27001", ComplianceFramework::iso_27001, "dashed form"},
        {"iso_27001", ComplianceFramework::iso_27001, "enumerator form"},
        {"PCI-DSS-4", std::nullopt, "upper case is unknown"},
        {"PCI_DSS_4", std::nullopt, "upper case enumerator is unknown"},
        {"soc-2", std::nullopt, "soc2 has one form"},
        {"", std::nullopt, "empty"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(parseFramework(r.text), r.want) << r.rule << ": " << r.text;
    EXPECT_EQ(frameworkName(ComplianceFramework::nist_800_53), "NIST SP 800-53");
    EXPECT_EQ(frameworkName(ComplianceFramework::iso_27001), "ISO/IEC 27001");
}

TEST(ComplianceCoverage, BuiltinTechniquesAloneCoverHalfOfPciAndMostOfNist) {
    MappedTable<RuleEngine> rules;
    ASSERT_TRUE(rules.ok());
    using V = std::vector<std::string>;
    CoverageReport pci = computeCoverage(ComplianceFramework::pci_dss_4, *rules, {});
    EXPECT_EQ(pci.covered_count, 3u);
    EXPECT_EQ(pci.control_count, 6u);
    EXPECT_EQ(controlIds(pci, true), (V{"PCI-1.3.1", "PCI-10.2.1", "PCI-11.5.1"}));
    EXPECT_EQ(controlIds(pci, false), (V{"PCI-1.3.2", "PCI-6.4.1", "PCI-10.6.1"}));

    CoverageReport nist = computeCoverage(ComplianceFramework::nist_800_53, *rules, {});
    EXPECT_EQ(nist.covered_count, 4u);
    EXPECT_EQ(controlIds(nist, true), (V{"AC-2", "SI-4", "CA-7", "SC-7"}));
    EXPECT_EQ(controlIds(nist, false), (V{"AU-6", "IR-4"}));
}

TEST(ComplianceCoverage, OnlyActiveEnabledRulesAddTechniques) {
    MappedTable<RuleEngine> rules;
    ASSERT_TRUE(rules.ok());
    auto setRule = [&](u32 slot, const char* technique, bool active, bool enabled) {
        SigmaRule& r = rules->rules[slot];
        std::memcpy(r.mitre_attack_ids[0], technique, std::strlen(technique));
        r.mitre_count = 1;
        r.active = active;
        r.enabled = enabled;
    };
    setRule(0, "T1070", true, false);   // disabled: AU-6 stays uncovered
    setRule(1, "T1486", false, true);   // inactive: IR-4 stays uncovered
    setRule(2, "T1190", true, true);    // covers PCI-1.3.2 and PCI-6.4.1
    setRule(3, "T1070.0", true, true);  // an exact match is needed, not a prefix
    CoverageReport pci = computeCoverage(ComplianceFramework::pci_dss_4, *rules, {});
    EXPECT_EQ(pci.covered_count, 5u);
    EXPECT_EQ(controlIds(pci, false), std::vector<std::string>{"PCI-10.6.1"});
    CoverageReport nist = computeCoverage(ComplianceFramework::nist_800_53, *rules, {});
    EXPECT_EQ(nist.covered_count, 4u);
    EXPECT_FALSE(techniqueCovered(*rules, "T1070"));
    EXPECT_TRUE(techniqueCovered(*rules, "T1190"));
    EXPECT_TRUE(techniqueCovered(*rules, "T1071.004")) << "built-in";
}

TEST(ComplianceCoverage, ManyRuleIdsNeverCrowdOutBuiltins) {
    MappedTable<RuleEngine> rules;
    ASSERT_TRUE(rules.ok());
    for (u32 s = 0; s < 200; ++s) {
        SigmaRule& r = rules->rules[s];
        for (u32 i = 0; i < kMaxRuleTechniques; ++i) std::memcpy(r.mitre_attack_ids[i], "T9999", 5);
        r.mitre_count = kMaxRuleTechniques;
        r.active = true;
    }
    CoverageReport pci = computeCoverage(ComplianceFramework::pci_dss_4, *rules, {});
    EXPECT_EQ(pci.covered_count, 3u) << "1600 rule ids still leave the built-ins counted";
}

TEST(ComplianceCoverage, AlertCountsMatchTechniqueSubstrings) {
    MappedTable<RuleEngine> rules;
    ASSERT_TRUE(rules.ok());
    const ComplianceAlert alerts[] = {
        alert(1, "Port scan T1046.001 seen"),          // substring of title
        alert(2, "Sniffer", "technique=T1040\nhost"),  // evidence text
        alert(3, "Collision", "", 4),                  // collision without ids: not counted
        alert(4, "T1046 and T1595 together"),          // counts once per control
        alert(5, "t1046 lower case"),                  // byte match only
    };
    CoverageReport pci = computeCoverage(ComplianceFramework::pci_dss_4, *rules, alerts);
    struct Row {
        const char* control;
        u32 count;
    };
    const Row want[] = {{"PCI-1.3.1", 2},  {"PCI-1.3.2", 0},  {"PCI-6.4.1", 0},
                        {"PCI-10.2.1", 0}, {"PCI-10.6.1", 0}, {"PCI-11.5.1", 3}};
    for (u32 k = 0; k < pci.control_count; ++k) {
        EXPECT_EQ(pci.controls[k].control->getControlId(), want[k].control);
        EXPECT_EQ(pci.controls[k].alert_count, want[k].count) << want[k].control;
    }
}

TEST(ComplianceEvidence, MatchingRules) {
    const ComplianceControl& pci131 = CONTROLS[0];   // T1046, T1595, T1590
    const ComplianceControl& pci1021 = CONTROLS[3];  // T1078, T1530, T1213
    const ComplianceControl& pci1151 = CONTROLS[5];  // T1046, T1595, T1040, T1557
    const ComplianceControl& ac2 = CONTROLS[6];      // T1078, T1136, T1098
    struct Row {
        ComplianceAlert a;
        const ComplianceControl* c;
        bool want;
        const char* rule;
    };
    const Row rows[] = {
        {alert(1, "x T1590 y"), &pci131, true, "technique in title"},
        {alert(1, "x", "T1213"), &pci1021, true, "technique in evidence"},
        {alert(1, "T1046.001"), &pci131, true, "sub-technique matches its parent"},
        {alert(1, "x", "", 3), &pci131, true, "collision evidences T1046 controls"},
        {alert(1, "x", "", 3), &pci1151, true, "collision evidences T1040 controls"},
        {alert(1, "x", "", 3), &pci1021, false, "collision says nothing of account use"},
        {alert(1, "x", "", 3), &ac2, false, "collision says nothing of accounts"},
        {alert(1, "x"), &pci131, false, "plain alert without ids"},
        {alert(1, "description only"), &pci131, false, "description is not searched"},
    };
    for (const auto& r : rows) EXPECT_EQ(alertIsEvidenceFor(*r.c, r.a), r.want) << r.rule;
    ComplianceAlert in_description{1000, 1, 0, 2, "t", "mentions T1046", ""};
    EXPECT_FALSE(alertIsEvidenceFor(pci131, in_description));
    EXPECT_FALSE(alertMentionsControl(pci131, alert(1, "x", "", 3)))
        << "a collision alone is no mention";
}

TEST(ComplianceEvidence, WindowCapAndOrder) {
    auto report = std::make_unique<EvidenceReport>();
    report->begin(ComplianceFramework::pci_dss_4, {100, 200});
    report->addAlert(alert(1, "T1046", "", 0, 99));   // before the window
    report->addAlert(alert(2, "T1046", "", 0, 100));  // on the lower bound
    report->addAlert(alert(3, "T1046", "", 0, 200));  // on the upper bound
    report->addAlert(alert(4, "T1046", "", 0, 201));  // after the window
    const ControlEvidence& pci131 = report->controls[0];
    ASSERT_EQ(pci131.count, 2u);
    EXPECT_EQ(pci131.entries[0].alert_id, 2u);
    EXPECT_EQ(pci131.entries[1].alert_id, 3u);
    EXPECT_EQ(report->controls[1].count, 0u) << "PCI-1.3.2 has no T1046";

    report->begin(ComplianceFramework::pci_dss_4, {0, std::numeric_limits<i64>::max()});
    for (u32 id = 1; id <= 60; ++id) report->addAlert(alert(id, "scan T1595"));
    for (u32 k : {0u, 5u}) {
        const ControlEvidence& ce = report->controls[k];
        ASSERT_EQ(ce.count, kMaxEvidencePerControl);
        EXPECT_EQ(ce.entries[0].alert_id, 1u);
        EXPECT_EQ(ce.entries[49].alert_id, 50u) << "the first 50 in slot order";
    }

    report->begin(ComplianceFramework::soc2, {500, 100});
    report->addAlert(alert(1, "T1046 T1078 T1486 T1562", "", 3, 300));
    ASSERT_EQ(report->control_count, 6u);
    for (u32 k = 0; k < report->control_count; ++k)
        EXPECT_EQ(report->controls[k].count, 0u) << "from > to selects nothing";
}

TEST(ComplianceEvidence, WindowTextRules) {
    constexpr i64 kMax = std::numeric_limits<i64>::max();
    constexpr i64 kMin = std::numeric_limits<i64>::min();
    struct Row {
        std::optional<std::string_view> from, to;
        i64 want_from, want_to;
        const char* rule;
    };
    const Row rows[] = {
        {std::nullopt, std::nullopt, 0, kMax, "absent bounds"},
        {"1700000000", "1800000000", 1700000000, 1800000000, "plain seconds"},
        {"-5", "+7", -5, 7, "signs"},
        {"abc", "12x", 0, kMax, "unreadable bounds fall back"},
        {"", "", 0, kMax, "empty bounds fall back"},
        {"-", "--1", 0, kMax, "bare and doubled minus"},
        {"-9223372036854775808", "9223372036854775807", kMin, kMax, "64-bit extremes"},
        {"-9223372036854775809", "9223372036854775808", 0, kMax, "beyond 64 bits"},
    };
    for (const auto& r : rows) {
        EvidenceWindow w = parseEvidenceWindow(r.from, r.to);
        EXPECT_EQ(w.from, r.want_from) << r.rule;
        EXPECT_EQ(w.to, r.want_to) << r.rule;
    }
}

TEST(ComplianceBodies, CoverageBody) {
    MappedTable<RuleEngine> rules;
    ASSERT_TRUE(rules.ok());
    const ComplianceAlert alerts[] = {alert(1, "T1078 login")};
    CoverageReport hipaa = computeCoverage(ComplianceFramework::hipaa, *rules, alerts);
    auto buf = std::make_unique<FixedText<65536>>();
    writeCoverageBody(*buf, hipaa);
    ASSERT_FALSE(buf->truncated);
    std::string body(buf->view());
    const std::string head =
        "{\"framework\":\"HIPAA\",\"covered_count\":2,\"total_count\":5,\"controls\":[{"
        "\"control_id\":\"164.312(b)\",\"name\":\"Audit Controls\",\"description\":"
        "\"Implement hardware, software, and procedural mechanisms to record and examine "
        "access to ePHI.\",\"covered\":true,\"alert_count\":1,\"techniques\":[\"T1078\","
        "\"T1530\",\"T1213\"]},";
    const std::string tail = "\"T1556\",\"T1136\"]}],\"total\":5}";
    EXPECT_EQ(body.substr(0, head.size()), head);
    ASSERT_GE(body.size(), tail.size());
    EXPECT_EQ(body.substr(body.size() - tail.size()), tail);
    auto j = nlohmann::json::parse(body);
    EXPECT_EQ(j["total"], 5);
    EXPECT_EQ(j["controls"].size(), 5u);
    EXPECT_EQ(j["controls"][1]["covered"], false);
    EXPECT_EQ(j["controls"][4]["control_id"], "164.312(a)(1)");
    EXPECT_EQ(j["controls"][4]["alert_count"], 1);

    buf->len = 0;
    writeCoverageBody(*buf, computeCoverage(ComplianceFramework::soc2, *rules, {}));
    auto s = nlohmann::json::parse(std::string(buf->view()));
    EXPECT_EQ(s["framework"], "SOC 2");
    EXPECT_EQ(s["controls"][0]["name"],
              "Logical and Physical Access Controls \xE2\x80\x94 Logical Access Security");
}

TEST(ComplianceBodies, EvidenceBody) {
    auto report = std::make_unique<EvidenceReport>();
    report->begin(ComplianceFramework::nist_800_53, {10, 20});
    ComplianceAlert a{15, 7, 2, 4, "Collision \"x\"", "two\twaves", ""};
    report->addAlert(a);
    auto buf = std::make_unique<FixedText<65536>>();
    writeEvidenceBody(*buf, *report, 1234);
    ASSERT_FALSE(buf->truncated);
    const std::string entry =
        "[{\"alert_id\":7,\"title\":\"Collision \\\"x\\\"\",\"severity\":\"critical\","
        "\"created_at\":15,\"description\":\"two\\twaves\"}]";
    EXPECT_EQ(std::string(buf->view()),
              "{\"framework\":\"NIST SP 800-53\",\"from\":10,\"to\":20,\"generated_at\":1234,"
              "\"controls\":["
              "{\"control_id\":\"AC-2\",\"name\":\"Account Management\",\"evidence\":[]},"
              "{\"control_id\":\"AU-6\",\"name\":\"Audit Record Review, Analysis, and "
              "Reporting\",\"evidence\":[]},"
              "{\"control_id\":\"SI-4\",\"name\":\"System Monitoring\",\"evidence\":" +
                  entry +
                  "},"
                  "{\"control_id\":\"IR-4\",\"name\":\"Incident Handling\",\"evidence\":[]},"
                  "{\"control_id\":\"CA-7\",\"name\":\"Continuous Monitoring\",\"evidence\":" +
                  entry +
                  "},"
                  "{\"control_id\":\"SC-7\",\"name\":\"Boundary Protection\",\"evidence\":" +
                  entry + "}]}");
}

TEST(ComplianceBodies, FullEvidenceBodyFitsItsBound) {
    auto report = std::make_unique<EvidenceReport>();
    report->begin(ComplianceFramework::pci_dss_4, {0, std::numeric_limits<i64>::max()});
    std::string title(128, '\xFF'), description(512, '\xFF');  // worst case: 3 bytes each
    ComplianceAlert a{std::numeric_limits<i64>::min(), 0xFFFFFFFFu, 1, 4, title, description, ""};
    for (int i = 0; i < 60; ++i) report->addAlert(a);
    auto buf = std::make_unique<std::vector<char>>(kMaxEvidenceBodyBytes);
    TextBuf out(buf->data(), buf->size());
    writeEvidenceBody(out, *report, 0);
    EXPECT_FALSE(out.truncated);
    EXPECT_FALSE(nlohmann::json::parse(std::string(out.view()), nullptr, false).is_discarded());
}

}  // namespace
}  // namespace tarvex
