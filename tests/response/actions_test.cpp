// Response actions: the start-up state.
#include "response/actions.h"

#include <gtest/gtest.h>

#include "support/mapped_table.h"

namespace tarvex {
namespace {

TEST(ActionManager, StartsEmptyWithEverySlotEnabled) {
    test::MappedTable<ActionManager> am;
    ASSERT_TRUE(am.ok());
    EXPECT_EQ(am->next_id, 1u);
    EXPECT_EQ(am->action_count, 0u);
    EXPECT_TRUE(am->actions[0].enabled && am->actions[kMaxActions - 1].enabled);
    for (const auto& a : am->actions) EXPECT_FALSE(a.active);
}

}  // namespace
}  // namespace tarvex
