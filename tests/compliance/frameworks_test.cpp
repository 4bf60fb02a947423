// Compliance: the catalogue, framework names, coverage with and without
// rules, alert counts, evidence matching, window and cap.
#include "compliance/frameworks.h"

#include <gtest/gtest.h>

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
using Ids = std::vector<std::string>;
constexpr i64 kMax = std::numeric_limits<i64>::max();
constexpr i64 kMin = std::numeric_limits<i64>::min();

ComplianceAlert alert(u32 id, std::string_view title, std::string_view evidence = "", u32 waves = 0,
                      i64 created_at = 1000) {
    return {created_at, id, waves, 3, title, "desc", evidence};
}

Ids coveredIds(const CoverageReport& r, bool covered) {
    Ids ids;
    for (u32 k = 0; k < r.control_count; ++k)
        if (r.controls[k].covered == covered)
            ids.emplace_back(r.controls[k].control->getControlId());
    return ids;
}

TEST(ComplianceCatalogue, ControlsAndFrameworkNames) {
    const std::tuple<const char*, u32, const char*, const char*> frameworks[] = {
        {"pci-dss-4", 6, "PCI-1.3.1", "PCI-11.5.1"},
        {"nist_800_53", 6, "AC-2", "SC-7"},
        {"soc2", 6, "CC6.1", "CC7.4"},
        {"hipaa", 5, "164.312(b)", "164.312(a)(1)"},
        {"iso-27001", 6, "A.9.4.2", "A.16.1.4"},
    };
    for (const auto& [slug, count, first, last] : frameworks) {
        auto f = parseFramework(slug);
        ASSERT_TRUE(f.has_value()) << slug;
        ControlList l = controlsForFramework(*f);
        ASSERT_EQ(l.count, count) << slug;
        EXPECT_EQ(l.items[0]->getControlId(), first);
        EXPECT_EQ(l.items[count - 1]->getControlId(), last);
    }
    EXPECT_EQ(parseFramework("pci_dss_4"), ComplianceFramework::pci_dss_4);
    EXPECT_EQ(parseFramework("nist-800-53"), ComplianceFramework::nist_800_53);
    EXPECT_EQ(parseFramework("iso_27001"), ComplianceFramework::iso_27001);
    for (const char* unknown : {"PCI-DSS-4", "PCI_DSS_4", "soc-2", "Hipaa", ""})
        EXPECT_FALSE(parseFramework(unknown).has_value()) << unknown;

    EXPECT_EQ(CONTROLS[4].getTechnique(1), "T1070.001");
    EXPECT_EQ(CONTROLS[0].getTechnique(3), "") << "past technique_count";
    EXPECT_EQ(CONTROLS[25].getDescription(),
              "Information about technical vulnerabilities of systems must be obtained and the "
              "organisation's exposure evaluated.");
    for (u32 i = 12; i < 18; ++i)  // the SOC 2 rows carry a UTF-8 em dash between spaces
        EXPECT_NE(CONTROLS[i].getName().find(" \xE2\x80\x94 "), std::string_view::npos) << i;
}

TEST(ComplianceCoverage, RulesAndBuiltinTechniques) {
    MappedTable<RuleEngine> rules;
    ASSERT_TRUE(rules.ok());
    CoverageReport pci = computeCoverage(ComplianceFramework::pci_dss_4, *rules, {});
    EXPECT_EQ(pci.covered_count, 3u) << "empty rule table: built-ins only";
    EXPECT_EQ(pci.control_count, 6u);
    EXPECT_EQ(coveredIds(pci, true), (Ids{"PCI-1.3.1", "PCI-10.2.1", "PCI-11.5.1"}));
    CoverageReport nist = computeCoverage(ComplianceFramework::nist_800_53, *rules, {});
    EXPECT_EQ(nist.covered_count, 4u);
    EXPECT_EQ(coveredIds(nist, false), (Ids{"AU-6", "IR-4"}));

    auto setRule = [&](u32 slot, const char* technique, bool active, bool enabled) {
        SigmaRule& r = rules->rules[slot];
        std::memcpy(r.mitre_attack_ids[r.mitre_count++], technique, std::strlen(technique));
        r.active = active;
        r.enabled = enabled;
    };
    setRule(0, "T1070", true, false);   // disabled: AU-6 stays uncovered
    setRule(1, "T1486", false, true);   // inactive: IR-4 stays uncovered
    setRule(2, "T1190", true, true);    // covers PCI-1.3.2 and PCI-6.4.1
    setRule(3, "T1070.0", true, true);  // ids must be equal, not prefixes
    pci = computeCoverage(ComplianceFramework::pci_dss_4, *rules, {});
    EXPECT_EQ(coveredIds(pci, false), Ids{"PCI-10.6.1"});
    EXPECT_EQ(computeCoverage(ComplianceFramework::nist_800_53, *rules, {}).covered_count, 4u);

    for (u32 s = 10; s < 210; ++s)  // 1600 rule ids never crowd out the built-ins
        for (u32 i = 0; i < kMaxRuleTechniques; ++i) setRule(s, "T9999", true, true);
    rules->rules[2].active = false;
    EXPECT_EQ(computeCoverage(ComplianceFramework::pci_dss_4, *rules, {}).covered_count, 3u);
}

TEST(ComplianceCoverage, AlertCountsMatchTechniqueSubstrings) {
    MappedTable<RuleEngine> rules;
    ASSERT_TRUE(rules.ok());
    const ComplianceAlert alerts[] = {
        alert(1, "Port scan T1046.001 seen"),          // a sub-technique contains its parent
        alert(2, "Sniffer", "technique=T1040\nhost"),  // evidence text is searched
        alert(3, "Collision", "", 4),                  // collision without ids: not counted
        alert(4, "T1046 and T1595 together"),          // counts once per control
        alert(5, "t1046 lower case"),                  // bytes must match
    };
    CoverageReport pci = computeCoverage(ComplianceFramework::pci_dss_4, *rules, alerts);
    const u32 want[] = {2, 0, 0, 0, 0, 3};  // PCI-1.3.1 .. PCI-11.5.1
    for (u32 k = 0; k < pci.control_count; ++k)
        EXPECT_EQ(pci.controls[k].alert_count, want[k]) << pci.controls[k].control->getControlId();
}

TEST(ComplianceEvidence, MatchingRules) {
    const ComplianceControl& pci131 = CONTROLS[0];   // T1046, T1595, T1590
    const ComplianceControl& pci1021 = CONTROLS[3];  // T1078, T1530, T1213
    const ComplianceControl& pci1151 = CONTROLS[5];  // T1046, T1595, T1040, T1557
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
        {alert(1, "x"), &pci131, false, "plain alert without ids"},
        {{1000, 1, 0, 2, "t", "T1046", ""}, &pci131, false, "description is not searched"},
    };
    for (const auto& r : rows) EXPECT_EQ(alertIsEvidenceFor(*r.c, r.a), r.want) << r.rule;
}

TEST(ComplianceEvidence, WindowCapAndOrder) {
    auto report = std::make_unique<EvidenceReport>();
    report->begin(ComplianceFramework::pci_dss_4, {100, 200});
    for (i64 t : {99, 100, 200, 201})
        report->addAlert(alert(static_cast<u32>(t), "T1046", "", 0, t));
    ASSERT_EQ(report->controls[0].count, 2u) << "both bounds are inside";
    EXPECT_EQ(report->controls[0].entries[0].alert_id, 100u);
    EXPECT_EQ(report->controls[0].entries[1].alert_id, 200u);
    EXPECT_EQ(report->controls[1].count, 0u) << "PCI-1.3.2 has no T1046";

    report->begin(ComplianceFramework::pci_dss_4, {0, kMax});
    for (u32 id = 1; id <= 60; ++id) report->addAlert(alert(id, "scan T1595"));
    for (u32 k : {0u, 5u}) {
        ASSERT_EQ(report->controls[k].count, kMaxEvidencePerControl);
        EXPECT_EQ(report->controls[k].entries[49].alert_id, 50u) << "the first 50 in slot order";
    }

    report->begin(ComplianceFramework::soc2, {500, 100});
    report->addAlert(alert(1, "T1046 T1078 T1486 T1562", "", 3, 300));
    for (u32 k = 0; k < report->control_count; ++k)
        EXPECT_EQ(report->controls[k].count, 0u) << "from > to selects nothing";

    struct Row {
        std::optional<std::string_view> from, to;
        i64 want_from, want_to;
    };
    const Row windows[] = {
        {std::nullopt, std::nullopt, 0, kMax},
        {"1700000000", "+7", 1700000000, 7},
        {"-5", "12x", -5, kMax},
        {"", "--1", 0, kMax},
        {"-9223372036854775808", "9223372036854775807", kMin, kMax},
        {"-9223372036854775809", "9223372036854775808", 0, kMax},
    };
    for (const auto& w : windows) {
        EvidenceWindow got = parseEvidenceWindow(w.from, w.to);
        EXPECT_EQ(got.from, w.want_from) << w.from.value_or("-");
        EXPECT_EQ(got.to, w.want_to) << w.to.value_or("-");
    }
}

}  // namespace
}  // namespace tarvex
