// Response actions: the start-up state and the list body.
#include "response/actions.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/mapped_table.h"

namespace tarvex {
namespace {

using test::MappedTable;

std::string body(const ActionManager& am) {
    FixedText<4096> b;
    writeActionsBody(b, am);
    EXPECT_FALSE(b.truncated);
    return std::string(b.view());
}

TEST(ActionManager, StartsEmptyAndListsNothing) {
    MappedTable<ActionManager> am;
    ASSERT_TRUE(am.ok());
    EXPECT_EQ(am->next_id, 1u);
    EXPECT_TRUE(am->actions[0].enabled);
    EXPECT_TRUE(am->actions[kMaxActions - 1].enabled);
    EXPECT_EQ(body(*am), "{\"actions\":[],\"total\":0}");
}

TEST(ActionManager, ListsActiveSlotsInSlotOrder) {
    MappedTable<ActionManager> am;
    ASSERT_TRUE(am.ok());
    auto put = [&](u32 slot, u32 id, const char* name, ActionType t, bool enabled) {
        ResponseAction& a = am->actions[slot];
        a.active = true;
        a.id = id;
        a.action_type = t;
        a.enabled = enabled;
        copyBounded(a.name, a.name_len, name);
        copyBounded(a.url, a.url_len, "https://hooks.example/x");
        a.trigger_count = id * 10;
        a.last_triggered = 1700000000 + id;
    };
    put(4, 2, "page \"ops\"", ActionType::generic_http, false);
    put(1, 1, "notify", ActionType::slack, true);
    am->action_count = 2;
    EXPECT_EQ(body(*am),
              "{\"actions\":[{\"id\":1,\"name\":\"notify\",\"type\":\"slack\",\"url\":"
              "\"https://hooks.example/x\",\"enabled\":true,\"trigger_count\":10,"
              "\"last_triggered\":1700000001},{\"id\":2,\"name\":\"page \\\"ops\\\"\",\"type\":"
              "\"generic_http\",\"url\":\"https://hooks.example/x\",\"enabled\":false,"
              "\"trigger_count\":20,\"last_triggered\":1700000002}],\"total\":2}");
}

}  // namespace
}  // namespace tarvex
