// End-to-end: the case endpoints of the real daemon, over kept-alive
// connections.
#include <gtest/gtest.h>

#include <ctime>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "common/types.h"
#include "support/api_daemon.h"

namespace tarvex::test {
namespace {

using nlohmann::json;

struct Exchange {
    const char* method;
    std::string target;
    std::optional<std::string> body;
    int status;
    std::string reply;
    const char* rule;
};

void expectExchanges(RawConn& c, const std::vector<Exchange>& steps) {
    for (const auto& s : steps) {
        HttpReply r = call(c, s.method, s.target,
                           s.body ? std::optional<std::string_view>(*s.body) : std::nullopt);
        EXPECT_EQ(r.status, s.status) << s.rule;
        EXPECT_EQ(r.body, s.reply) << s.rule;
    }
}

TEST(E2eCases, ErrorsBeforeAnyCaseExists) {
    ApiDaemon api;
    ASSERT_TRUE(api.ready());
    RawConn c(api.port);
    const std::string missing_body = "{\"error\":\"missing request body\"}";
    const std::string missing_title = "{\"error\":\"missing title field\"}";
    const std::string not_found = "{\"error\":\"not found\"}";
    const std::string case_not_found = "{\"error\":\"case not found\"}";
    expectExchanges(
        c,
        {
            {"POST", "/api/cases", std::nullopt, 400, missing_body, "no body"},
            {"POST", "/api/cases", "", 400, missing_body, "empty body"},
            {"POST", "/api/cases", "{\"description\":\"d\"}", 400, missing_title, "title absent"},
            {"POST", "/api/cases", "{\"title\":5}", 400, missing_title, "a number is not a title"},
            {"POST", "/api/cases", "title=x", 400, missing_title, "a body that is not JSON"},
            {"GET", "/api/cases/1", std::nullopt, 404, not_found, "no case yet"},
            {"GET", "/api/cases/0", std::nullopt, 404, not_found, "id 0 is never issued"},
            {"GET", "/api/cases/abc", std::nullopt, 404, not_found, "id not a number"},
            {"GET", "/api/cases/4294967296", std::nullopt, 404, not_found, "id beyond 32 bits"},
            {"POST", "/api/cases/abc/notes", "{\"content\":\"x\"}", 404, not_found,
             "note on an id that is not a number"},
            {"POST", "/api/cases/7/notes", "{\"content\":\"x\"}", 404, case_not_found,
             "note on a case that does not exist"},
            {"POST", "/api/cases/7/notes", std::nullopt, 404, case_not_found,
             "the case is looked up before the body"},
            {"GET", "/api/cases?limit=%zz", std::nullopt, 400, "{\"error\":\"bad query string\"}",
             "unparsable query"},
            {"GET", "/api/cases", std::nullopt, 200,
             "{\"cases\":[],\"total\":0,\"limit\":50,\"offset\":0}", "empty list"},
            {"DELETE", "/api/cases/1", std::nullopt, 405, "Method Not Allowed", "no DELETE route"},
        });
}

TEST(E2eCases, LifeCycle) {
    ApiDaemon api;
    ASSERT_TRUE(api.ready());
    RawConn c(api.port);
    i64 before = std::time(nullptr);

    HttpReply r = call(c, "POST", "/api/cases", "{\"title\":\"x\"}");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"id\":1,\"status\":\"created\"}") << "the first case is id 1";
    EXPECT_NE(r.head.find("Content-Type: application/json; charset=UTF-8\r\n"), std::string::npos);
    std::string long_title(200, 'a');
    r = call(c, "POST", "/api/cases",
             "{\"title\":\"" + long_title + "\",\"description\":\"d\",\"severity\":\"critical\"}");
    EXPECT_EQ(r.body, "{\"id\":2,\"status\":\"created\"}") << "the second case is id 2";
    r = call(c, "POST", "/api/cases", "{\"title\":\"q\\\"t\\nz\",\"severity\":\"High\"}");
    EXPECT_EQ(r.body, "{\"id\":3,\"status\":\"created\"}");
    EXPECT_TRUE(api.logged("info(case_manager): case created: id=1 severity=\"info\""));
    EXPECT_TRUE(api.logged("info(case_manager): case created: id=2 severity=\"critical\""));

    // A fresh case: info, open, unassigned, no notes, no links.
    r = call(c, "GET", "/api/cases/1");
    ASSERT_EQ(r.status, 200);
    json one = json::parse(r.body);
    i64 t = one["created_at"].get<i64>();
    EXPECT_GE(t, before);
    EXPECT_LE(t, before + 60);
    EXPECT_EQ(r.body,
              "{\"id\":1,\"title\":\"x\",\"description\":\"\",\"severity\":\"info\","
              "\"status\":\"open\",\"assignee\":\"\",\"created_at\":" +
                  std::to_string(t) + ",\"updated_at\":" + std::to_string(t) +
                  ",\"resolved_at\":0,\"notes\":[],\"linked_alert_ids\":[]}");

    json two = json::parse(call(c, "GET", "/api/cases/2").body);
    EXPECT_EQ(two["title"], std::string(128, 'a')) << "a 200-byte title keeps its first 128";
    EXPECT_EQ(two["description"], "d");
    EXPECT_EQ(two["severity"], "critical");
    r = call(c, "GET", "/api/cases/3");
    EXPECT_NE(r.body.find("\"title\":\"q\\\"t\\nz\""), std::string::npos)
        << "escapes are decoded on the way in and written again on the way out: " << r.body;
    EXPECT_EQ(json::parse(r.body)["severity"], "info") << "severity text is case-sensitive";

    expectExchanges(
        c, {
               {"POST", "/api/cases/1/notes", "{\"content\":\"first\"}", 200,
                "{\"status\":\"created\"}", "note without author"},
               {"POST", "/api/cases/1/notes", "{\"content\":\"second\",\"author\":\"ana\"}", 200,
                "{\"status\":\"created\"}", "note with author"},
               {"POST", "/api/cases/1/notes", std::nullopt, 400,
                "{\"error\":\"missing request body\"}", "note without body"},
               {"POST", "/api/cases/1/notes", "{\"author\":\"ana\"}", 400,
                "{\"error\":\"missing content field\"}", "note without content"},
           });
    json noted = json::parse(call(c, "GET", "/api/cases/1").body);
    ASSERT_EQ(noted["notes"].size(), 2u);
    EXPECT_EQ(noted["notes"][0]["content"], "first");
    EXPECT_EQ(noted["notes"][0]["author"], "anonymous") << "a note without author is anonymous";
    EXPECT_EQ(noted["notes"][1]["author"], "ana");
    EXPECT_GE(noted["updated_at"].get<i64>(), noted["notes"][1]["created_at"].get<i64>());

    // The list: newest first (equal times: larger id first), paged.
    json list = json::parse(call(c, "GET", "/api/cases").body);
    ASSERT_EQ(list["cases"].size(), 3u);
    EXPECT_EQ(list["total"], 3);
    EXPECT_EQ(list["limit"], 50);
    EXPECT_EQ(list["offset"], 0);
    std::vector<int> ids;
    for (const auto& k : list["cases"]) ids.push_back(k["id"].get<int>());
    EXPECT_EQ(ids, (std::vector<int>{3, 2, 1}));
    EXPECT_EQ(list["cases"][2]["note_count"], 2);
    EXPECT_EQ(list["cases"][2]["linked_alert_count"], 0);
    r = call(c, "GET", "/api/cases?limit=1&offset=1");
    json page = json::parse(r.body);
    ASSERT_EQ(page["cases"].size(), 1u);
    EXPECT_EQ(page["cases"][0]["id"], 2);
    EXPECT_EQ(r.body.substr(r.body.find("],\"total\"")), "],\"total\":3,\"limit\":1,\"offset\":1}");
    r = call(c, "GET", "/api/cases?limit=9999&offset=7");
    EXPECT_EQ(r.body, "{\"cases\":[],\"total\":3,\"limit\":500,\"offset\":7}")
        << "limit cut to 500, offset past the end";
}

TEST(E2eCases, FullTablesAnswer503) {
    ApiDaemon api;
    ASSERT_TRUE(api.ready());
    constexpr int kThreads = 4;
    constexpr int kEach = 2048 / kThreads;
    std::vector<int> created(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            RawConn c(api.port);
            for (int i = 0; i < kEach; ++i)
                if (call(c, "POST", "/api/cases", "{\"title\":\"fill\"}").status == 200)
                    ++created[static_cast<size_t>(t)];
        });
    }
    for (auto& th : threads) th.join();
    int total = 0;
    for (int n : created) total += n;
    ASSERT_EQ(total, 2048);

    RawConn c(api.port);
    HttpReply r = call(c, "POST", "/api/cases", "{\"title\":\"one too many\"}");
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(r.body, "{\"error\":\"case table full\"}");
    EXPECT_TRUE(
        api.logged("error(case_manager): case table full (2048 cases), cannot create case"));
    r = call(c, "GET", "/api/cases?limit=1");
    EXPECT_NE(r.body.find("\"total\":2048,"), std::string::npos) << "nothing half-stored";

    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(call(c, "POST", "/api/cases/5/notes", "{\"content\":\"n\"}").status, 200) << i;
    r = call(c, "POST", "/api/cases/5/notes", "{\"content\":\"n65\"}");
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(r.body, "{\"error\":\"note buffer full\"}");
    EXPECT_TRUE(api.logged("warning(case_manager): case 5: note buffer full (64 notes)"));
    json five = json::parse(call(c, "GET", "/api/cases/5").body);
    EXPECT_EQ(five["notes"].size(), 64u);
    EXPECT_EQ(five["notes"][63]["content"], "n");
}

}  // namespace
}  // namespace tarvex::test
