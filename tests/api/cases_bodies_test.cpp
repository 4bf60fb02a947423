// The case bodies written from copies out of the case table: the list page
// and one case with its notes and linked alerts, and the created reply.
#include <gtest/gtest.h>

#include <string>

#include "api/cases.h"
#include "support/json_text.h"
#include "support/log_capture.h"
#include "support/mapped_table.h"

namespace tarvex {
namespace {

using test::LogCapture;
using test::MappedTable;
using test::writtenJson;

TEST(CaseBodies, CreatedReplyCarriesTheId) {
    MappedTable<CaseManager> cm;
    ASSERT_TRUE(cm.ok());
    LogCapture log;
    ASSERT_EQ(cm->createCase("first", "", CaseSeverity::high), 1u);
    FixedText<64> created;
    formatInto(created, kCaseCreatedPattern, 1u);
    EXPECT_EQ(created.view(), "{\"id\":1,\"status\":\"created\"}");
}

TEST(CaseBodies, ListAndDetail) {
    MappedTable<CaseManager> cm;
    ASSERT_TRUE(cm.ok());
    LogCapture log;
    Case& c = *cm->getCase(cm->createCase("Odd \"title\"", "a\nb", CaseSeverity::critical));
    cm->addNote(c.id, "look", std::nullopt);
    c.created_at = 100;
    c.updated_at = c.notes[0].created_at = 150;
    c.linked_alert_ids[0] = 9;
    c.linked_alert_ids[1] = 12;
    c.linked_alert_count = 2;

    CaseSummary s[1];
    CasePage page = cm->listCases(0, 1, s, 1);
    std::string list = writtenJson([&](JsonWriter& j) { writeCaseListBody(j, s, page, 1, 0); });
    EXPECT_EQ(list,
              "{\"cases\":[{\"id\":1,\"title\":\"Odd \\\"title\\\"\",\"description\":\"a\\nb\","
              "\"severity\":\"critical\",\"status\":\"open\",\"assignee\":\"\",\"note_count\":1,"
              "\"linked_alert_count\":2,\"created_at\":100,\"updated_at\":150}],\"total\":1,"
              "\"limit\":1,\"offset\":0}");
    std::string detail = writtenJson([&](JsonWriter& j) { writeCaseBody(j, c); });
    EXPECT_EQ(detail,
              "{\"id\":1,\"title\":\"Odd \\\"title\\\"\",\"description\":\"a\\nb\",\"severity\":"
              "\"critical\",\"status\":\"open\",\"assignee\":\"\",\"created_at\":100,"
              "\"updated_at\":150,\"resolved_at\":0,\"notes\":[{\"content\":\"look\",\"author\":"
              "\"anonymous\",\"created_at\":150}],\"linked_alert_ids\":[9,12]}");
}

}  // namespace
}  // namespace tarvex
