// Rule table: start-up state, slot-order paging and technique ids.
#include "rules/engine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/mapped_table.h"

namespace tarvex {
namespace {

TEST(RuleEngine, ListPagesActiveSlotsInSlotOrder) {
    test::MappedTable<RuleEngine> re;
    ASSERT_TRUE(re.ok());
    EXPECT_TRUE(re->rules[0].enabled && re->rules[kMaxRules - 1].enabled) << "slots start enabled";
    SigmaRule out[8];
    EXPECT_EQ(re->listRules(0, 50, out, 8).total, 0u) << "the table starts empty";

    for (u32 slot : {3u, 10u, 500u, 1023u}) {
        re->rules[slot].active = true;
        copyBounded(re->rules[slot].id, re->rules[slot].id_len, std::to_string(slot));
    }
    struct Row {
        u32 offset, limit;
        std::vector<std::string> want;
    };
    const Row rows[] = {
        {0, 50, {"3", "10", "500", "1023"}},
        {1, 2, {"10", "500"}},  // the offset counts active slots only
        {4, 50, {}},
        {0xFFFFFFFFu, 500, {}},  // offset+limit cannot wrap
    };
    for (const auto& r : rows) {
        RulePage p = re->listRules(r.offset, r.limit, out, 8);
        EXPECT_EQ(p.total, 4u);
        std::vector<std::string> ids;
        for (u32 i = 0; i < p.count; ++i) ids.emplace_back(out[i].getId());
        EXPECT_EQ(ids, r.want) << "offset " << r.offset;
    }
}

TEST(RuleEngine, TechniqueIdsEndAtTheirFirstZeroByte) {
    SigmaRule r{};
    std::memcpy(r.mitre_attack_ids[0], "T1046", 5);
    std::memcpy(r.mitre_attack_ids[1], "T1071.004567", 12);  // fills the entry, no terminator
    r.mitre_count = 2;
    EXPECT_EQ(r.getTechnique(0), "T1046");
    EXPECT_EQ(r.getTechnique(1), "T1071.004567");
    EXPECT_EQ(r.getTechnique(2), "") << "past mitre_count";
    r.mitre_count = 200;
    EXPECT_EQ(r.getTechnique(8), "") << "past the array whatever the count says";
}

}  // namespace
}  // namespace tarvex
