// Rule table: its start-up state, slot-order paging, technique ids and the
// import acknowledgement.
#include "rules/engine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/mapped_table.h"

namespace tarvex {
namespace {

using test::LogCapture;
using test::MappedTable;

TEST(RuleEngine, StartsEmptyWithEnabledSlots) {
    MappedTable<RuleEngine> re;
    ASSERT_TRUE(re.ok());
    EXPECT_EQ(re->rule_count, 0u);
    for (const auto& r : re->rules) {
        ASSERT_TRUE(r.enabled);
        ASSERT_FALSE(r.active);
    }
    SigmaRule out[1];
    RulePage p = re->listRules(0, 50, out, 1);
    EXPECT_EQ(p.total, 0u);
    EXPECT_EQ(p.count, 0u);
}

TEST(RuleEngine, ListPagesActiveSlotsInSlotOrder) {
    MappedTable<RuleEngine> re;
    ASSERT_TRUE(re.ok());
    for (u32 slot : {3u, 10u, 500u, 1023u}) {
        SigmaRule& r = re->rules[slot];
        r.active = true;
        r.id_len = static_cast<u8>(std::snprintf(r.id, sizeof r.id, "rule-%u", slot));
    }
    struct Row {
        u32 offset, limit;
        std::vector<std::string> want;
        const char* rule;
    };
    const Row rows[] = {
        {0, 50, {"rule-3", "rule-10", "rule-500", "rule-1023"}, "all, in slot order"},
        {1, 2, {"rule-10", "rule-500"}, "offset counts active slots only"},
        {3, 50, {"rule-1023"}, "last page"},
        {4, 50, {}, "offset at the end"},
        {0xFFFFFFFFu, 500, {}, "offset+limit cannot wrap"},
    };
    for (const auto& row : rows) {
        std::vector<SigmaRule> out(8);
        RulePage p = re->listRules(row.offset, row.limit, out.data(), 8);
        EXPECT_EQ(p.total, 4u) << row.rule;
        std::vector<std::string> ids;
        for (u32 i = 0; i < p.count; ++i) ids.emplace_back(out[i].getId());
        EXPECT_EQ(ids, row.want) << row.rule;
    }
}

TEST(RuleEngine, TechniqueIdsEndAtTheirFirstZeroByte) {
    SigmaRule r;
    std::memset(&r, 0, sizeof r);
    std::memcpy(r.mitre_attack_ids[0], "T1046", 5);
    std::memcpy(r.mitre_attack_ids[1], "T1071.004567", 12);  // fills the entry, no terminator
    r.mitre_count = 2;
    EXPECT_EQ(r.getTechnique(0), "T1046");
    EXPECT_EQ(r.getTechnique(1), "T1071.004567");
    EXPECT_EQ(r.getTechnique(2), "") << "past mitre_count";
    r.mitre_count = 200;
    EXPECT_EQ(r.getTechnique(8), "") << "past the array whatever the count says";
}

TEST(RuleEngine, ImportIsAcknowledgedAndLoggedButNotStored) {
    MappedTable<RuleEngine> re;
    ASSERT_TRUE(re.ok());
    LogCapture log;
    FixedReply r = acknowledgeRuleImport(1234);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"status\":\"accepted\",\"message\":\"rule import queued\"}");
    EXPECT_TRUE(log.has("info(routes): rule import request received (1234 bytes)"));
    EXPECT_EQ(re->rule_count, 0u);
}

TEST(RuleEngine, EnumerationNames) {
    EXPECT_EQ(sigmaLevelName(SigmaLevel::informational), "informational");
    EXPECT_EQ(sigmaLevelName(SigmaLevel::critical), "critical");
    EXPECT_EQ(sigmaStatusName(SigmaStatus::testing), "testing");
    EXPECT_EQ(sigmaStatusName(static_cast<SigmaStatus>(7)), "experimental") << "out of range";
}

}  // namespace
}  // namespace tarvex

namespace tarvex {
namespace {

TEST(RuleBodies, ListShapeAndWorstCaseBound) {
    FixedText<256> empty;
    writeRuleListBody(empty, nullptr, {0, 0}, 50, 0);
    EXPECT_EQ(empty.view(), "{\"rules\":[],\"total\":0,\"limit\":50,\"offset\":0}");

    SigmaRule r;
    std::memset(&r, 0, sizeof r);
    copyBounded(r.id, r.id_len, "net-scan");
    copyBounded(r.title, r.title_len, "Port \"scan\"");
    copyBounded(r.logsource_category, r.logsource_category_len, "firewall");
    r.level = SigmaLevel::high;
    r.status = SigmaStatus::stable;
    r.enabled = true;
    FixedText<512> one;
    writeRuleListBody(one, &r, {3, 1}, 1, 2);
    EXPECT_EQ(one.view(),
              "{\"rules\":[{\"id\":\"net-scan\",\"title\":\"Port \\\"scan\\\"\",\"level\":\"high\","
              "\"status\":\"stable\",\"enabled\":true,\"logsource_category\":\"firewall\"}],"
              "\"total\":3,\"limit\":1,\"offset\":2}");

    std::string bad(512, '\xFF');
    std::vector<SigmaRule> items(500);
    for (auto& x : items) {
        std::memset(&x, 0, sizeof x);
        copyBounded(x.id, x.id_len, bad);
        copyBounded(x.title, x.title_len, bad);
        copyBounded(x.logsource_category, x.logsource_category_len, bad);
        x.enabled = false;
    }
    std::vector<char> room(kMaxRuleListBodyBytes);
    TextBuf out(room.data(), room.size());
    writeRuleListBody(out, items.data(), {0xFFFFFFFFu, 500}, 0xFFFFFFFFu, 0xFFFFFFFFu);
    EXPECT_FALSE(out.truncated);
}

}  // namespace
}  // namespace tarvex
