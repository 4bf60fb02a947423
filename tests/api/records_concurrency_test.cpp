// Case and indicator endpoints under many simultaneous clients, in-process
// so the ThreadSanitizer build covers the handlers and the stores.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <vector>

#include "cases/manager.h"
#include "intel/indicators.h"
#include "support/http_call.h"
#include "support/log_capture.h"
#include "support/mapped_table.h"
#include "support/test_server.h"

namespace tarvex::test {
namespace {

using nlohmann::json;

TEST(CaseEndpointConcurrency, ManyClientsGetDistinctIdsAndLoseNothing) {
    LogCapture logs;
    MappedTable<CaseManager> cases;
    MappedTable<IndicatorStore> indicators;
    ASSERT_TRUE(cases.ok() && indicators.ok());
    ServerState state{};
    state.cases = &*cases;
    state.indicators = &*indicators;
    TestServer srv(&state);
    ASSERT_TRUE(srv.start());

    {
        RawConn c(srv.port());
        ASSERT_EQ(call(c, "POST", "/api/cases", "{\"title\":\"shared\"}").body,
                  "{\"id\":1,\"status\":\"created\"}");
    }
    constexpr int kClients = 12, kEach = 30, kNotesEach = 5;
    std::vector<std::vector<int>> ids(kClients);
    std::vector<int> notes_ok(kClients, 0), indicators_ok(kClients, 0);
    std::vector<std::thread> clients;
    for (int t = 0; t < kClients; ++t) {
        clients.emplace_back([&, t] {
            RawConn c(srv.port());
            for (int i = 0; i < kEach; ++i) {
                HttpReply r = call(c, "POST", "/api/cases", "{\"title\":\"c\"}");
                if (r.status == 200) ids[t].push_back(json::parse(r.body)["id"].get<int>());
                if (i < kNotesEach &&
                    call(c, "POST", "/api/cases/1/notes", "{\"content\":\"n\"}").status == 200)
                    ++notes_ok[t];
                if (call(c, "POST", "/api/indicators", "{\"value\":\"v\"}").status == 200)
                    ++indicators_ok[t];
                call(c, "GET", "/api/cases?limit=3");  // readers interleave with writers
            }
        });
    }
    for (auto& th : clients) th.join();

    std::set<int> distinct;
    size_t created = 0;
    int notes = 0, added = 0;
    for (int t = 0; t < kClients; ++t) {
        created += ids[t].size();
        distinct.insert(ids[t].begin(), ids[t].end());
        notes += notes_ok[t];
        added += indicators_ok[t];
    }
    EXPECT_EQ(created, size_t{kClients * kEach}) << "every creation answered 200";
    EXPECT_EQ(distinct.size(), created) << "ids are distinct";
    EXPECT_EQ(*distinct.begin(), 2);
    EXPECT_EQ(*distinct.rbegin(), kClients * kEach + 1) << "no id skipped";

    RawConn c(srv.port());
    json list = json::parse(call(c, "GET", "/api/cases?limit=1").body);
    EXPECT_EQ(list["total"], kClients * kEach + 1) << "no case lost";
    json shared = json::parse(call(c, "GET", "/api/cases/1").body);
    EXPECT_EQ(notes, kClients * kNotesEach);
    EXPECT_EQ(shared["notes"].size(), size_t(notes)) << "no note lost or overwritten";
    json inds = json::parse(call(c, "GET", "/api/indicators?limit=1").body);
    EXPECT_EQ(added, kClients * kEach);
    EXPECT_EQ(inds["total"], added) << "no indicator lost";
}

}  // namespace
}  // namespace tarvex::test
