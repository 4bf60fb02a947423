// Response actions: the start-up state and the list body.
#include "response/actions.h"

#include <gtest/gtest.h>

#include "support/mapped_table.h"

namespace tarvex {
namespace {

TEST(ActionManager, StartsEmptyAndListsActiveSlots) {
    test::MappedTable<ActionManager> am;
    ASSERT_TRUE(am.ok());
    EXPECT_EQ(am->next_id, 1u);
    EXPECT_TRUE(am->actions[0].enabled && am->actions[kMaxActions - 1].enabled);
    FixedText<1024> body;
    writeActionsBody(body, *am);
    EXPECT_EQ(body.view(), "{\"actions\":[],\"total\":0}");
}

}  // namespace
}  // namespace tarvex
