// The alert list and alert detail endpoints, called in-process.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "api/alerts.h"
#include "support/api_call.h"
#include "support/log_capture.h"

namespace tarvex::test {
namespace {

std::vector<u32> ids(const std::string& body) {
    std::vector<u32> out;
    std::regex re("\\{\"id\":(\\d+),");
    for (auto it = std::sregex_iterator(body.begin(), body.end(), re); it != std::sregex_iterator();
         ++it)
        out.push_back(static_cast<u32>(std::stoul((*it)[1])));
    return out;
}

class AlertApi : public ::testing::Test {
  protected:
    LogCapture quiet;  // alert creation logs a line each
    PipelineRig rig;
    ServerState st = stateOf(rig);

    ApiReply get(std::string_view target) { return callApi(st, target); }

    Alert& alert(std::string_view title, AlertSeverity sev, i64 created_at,
                 AlertStatus status = AlertStatus::new_, std::string_view src = "",
                 std::string_view dst = "", std::string_view description = "") {
        const u8 mac[6] = {0x3C, 0x22, 0xFB, 0x0A, 0x0B, 0x0C};
        u32 id = rig.state.alerts->createAlert(title, description, sev, 0.5f, mac, 3);
        Alert& a = *rig.state.alerts->getAlert(id);
        a.created_at = created_at;
        a.status = status;
        a.setSourceIp(src);
        a.setDestIp(dst);
        return a;
    }
};

TEST_F(AlertApi, EmptyTableGivesAnEmptyList) {
    EXPECT_EQ(get("/api/alerts").body, "{\"alerts\":[],\"total\":0,\"limit\":50,\"offset\":0}");
}

TEST_F(AlertApi, ListEntryFieldsInOrder) {
    Alert& a = alert("Port scan", AlertSeverity::high, 1700000000, AlertStatus::false_positive,
                     "192.168.1.5", "10.0.0.1", "line\tone\nx\x01y\"q\"");
    a.surprise_score = 0.75f;
    a.setEvidence("never listed");
    u8 zero[6] = {};
    rig.state.alerts->createAlert("No address", "", AlertSeverity::info, 0, zero, 0);
    rig.state.alerts->getAlert(2)->created_at = 1600000000;
    EXPECT_EQ(get("/api/alerts").body,
              "{\"alerts\":[{\"id\":1,\"title\":\"Port scan\",\"description\":"
              "\"line\\tone\\nxy\\\"q\\\"\",\"severity\":\"high\",\"status\":\"false_positive\","
              "\"surprise_score\":0.7500,\"collision_wave_count\":3,\"source_mac\":"
              "\"3C:22:FB:0A:0B:0C\",\"source_ip\":\"192.168.1.5\",\"dest_ip\":\"10.0.0.1\","
              "\"created_at\":1700000000,\"note\":\"\",\"status_changed_at\":0},"
              "{\"id\":2,\"title\":\"No address\",\"description\":\"\",\"severity\":\"info\","
              "\"status\":\"new\",\"surprise_score\":0.0000,\"collision_wave_count\":0,"
              "\"source_mac\":\"00:00:00:00:00:00\",\"source_ip\":\"\",\"dest_ip\":\"\","
              "\"created_at\":1600000000,\"note\":\"\",\"status_changed_at\":0}],\"total\":2,"
              "\"limit\":50,\"offset\":0}");
}

TEST_F(AlertApi, SeverityStatusAndSearchFilters) {
    alert("one", AlertSeverity::info, 10, AlertStatus::new_, "10.0.0.1");
    alert("two", AlertSeverity::low, 20, AlertStatus::acknowledged, "", "192.168.9.9");
    alert("three", AlertSeverity::medium, 30, AlertStatus::investigating);
    alert("four", AlertSeverity::high, 40, AlertStatus::resolved, "", "", "Scan of hosts");
    alert("five", AlertSeverity::critical, 50, AlertStatus::false_positive).setEvidence("secret");
    struct Case {
        const char* rule;
        const char* query;
        std::vector<u32> ids;
    };
    const Case cases[] = {
        {"no filter: all, newest first", "", {5, 4, 3, 2, 1}},
        {"a severity list", "?severity=high,critical", {5, 4}},
        {"severity words are case-sensitive", "?severity=HIGH", {}},
        {"an empty severity is all", "?severity=", {5, 4, 3, 2, 1}},
        {"unknown words are ignored", "?severity=low,bogus", {2}},
        {"only unknown words match nothing", "?severity=bogus", {}},
        {"words are not trimmed", "?severity=low,%20high", {2}},
        {"a status list", "?status=new,false_positive", {5, 1}},
        {"status and severity together", "?status=resolved&severity=high,low", {4}},
        {"search in the title", "?search=thr", {3}},
        {"search in the description", "?search=Scan", {4}},
        {"search is case-sensitive", "?search=scan", {}},
        {"search in the source address", "?search=10.0.0", {1}},
        {"search in the destination address", "?search=192.168", {2}},
        {"the evidence is not searched", "?search=secret", {}},
        {"the source MAC is not searched", "?search=3C:22", {}},
    };
    for (const Case& c : cases) {
        ApiReply r = get(std::string("/api/alerts") + c.query);
        EXPECT_EQ(ids(r.body), c.ids) << c.rule;
        EXPECT_NE(r.body.find(",\"total\":" + std::to_string(c.ids.size()) + ","),
                  std::string::npos)
            << c.rule;
    }
}

TEST_F(AlertApi, NewestFirstWithLargerIdOnTiesAndPaging) {
    alert("a", AlertSeverity::low, 100);
    alert("b", AlertSeverity::low, 300);
    alert("c", AlertSeverity::low, 200);
    alert("d", AlertSeverity::low, 300);
    alert("e", AlertSeverity::low, 100);
    EXPECT_EQ(ids(get("/api/alerts").body), (std::vector<u32>{4, 2, 3, 5, 1}));
    ApiReply page = get("/api/alerts?limit=2&offset=1");
    EXPECT_EQ(ids(page.body), (std::vector<u32>{2, 3}));
    EXPECT_TRUE(page.body.ends_with("],\"total\":5,\"limit\":2,\"offset\":1}"));
    EXPECT_EQ(get("/api/alerts?offset=7").body,
              "{\"alerts\":[],\"total\":5,\"limit\":50,\"offset\":7}");
    EXPECT_TRUE(get("/api/alerts?limit=9999").body.ends_with("\"limit\":500,\"offset\":0}"));
}

TEST_F(AlertApi, DetailWithRelatedEventsFromTheRing) {
    PipelineRig::now = 500;
    rig.send("hello from a sender", "192.168.1.5");  // source address equals
    rig.send("nothing here", "10.9.9.9");
    rig.send("traffic to 10.0.0.1 seen", "10.9.9.9");  // names the destination
    rig.send("reply", "10.0.0.1");                     // sent by the destination
    rig.send("peer 192.168.1.5 again", "10.9.9.9");    // names the source
    Alert& a = alert("Scan", AlertSeverity::critical, 77, AlertStatus::new_, "192.168.1.5",
                     "10.0.0.1", "d");
    a.setEvidence("Source: 192.168.1.5\nCEF Severity: 9/10\n");
    auto ev = [&](const char* src, const char* data) {
        return "{\"timestamp\":500,\"type\":" +
               std::to_string(rig.state.ring->newest(0).event_type) + ",\"source_ip\":\"" + src +
               "\",\"data\":\"" + data + "\"}";
    };
    // Every line here is classified alike; check that before relying on it.
    for (u32 i = 0; i < 5; ++i)
        ASSERT_EQ(rig.state.ring->newest(i).event_type, rig.state.ring->newest(0).event_type);
    EXPECT_EQ(get("/api/alerts/1").body,
              "{\"id\":1,\"title\":\"Scan\",\"description\":\"d\",\"evidence\":"
              "\"Source: 192.168.1.5\\nCEF Severity: 9/10\\n\",\"severity\":\"critical\","
              "\"status\":\"new\",\"source_mac\":\"3C:22:FB:0A:0B:0C\",\"source_ip\":"
              "\"192.168.1.5\",\"dest_ip\":\"10.0.0.1\",\"surprise_score\":0.5000,"
              "\"collision_wave_count\":3,\"created_at\":77,\"related_events\":[" +
                  ev("10.9.9.9", "peer 192.168.1.5 again") + "," + ev("10.0.0.1", "reply") + "," +
                  ev("10.9.9.9", "traffic to 10.0.0.1 seen") + "," +
                  ev("192.168.1.5", "hello from a sender") +
                  "],\"event_source\":\"buffer\",\"note\":\"\",\"status_changed_at\":0}");
}

TEST_F(AlertApi, RelatedEventsStopAtFifty) {
    for (int k = 0; k < 70; ++k) rig.send("x", "192.168.1.5");
    alert("Scan", AlertSeverity::high, 1, AlertStatus::new_, "192.168.1.5");
    std::string body = get("/api/alerts/1").body;
    size_t n = 0;
    for (size_t p = body.find("\"data\":"); p != std::string::npos;
         p = body.find("\"data\":", p + 1))
        ++n;
    EXPECT_EQ(n, 50u);
}

TEST_F(AlertApi, AlertsWithoutMatchingAddresses) {
    for (int k = 0; k < 5; ++k) rig.send("some line", "192.168.1.77");
    alert("no addresses", AlertSeverity::high, 1);
    alert("only a destination", AlertSeverity::high, 2, AlertStatus::new_, "", "10.1.1.1");
    alert("nothing related", AlertSeverity::high, 3, AlertStatus::new_, "172.16.0.1");
    struct Case {
        const char* rule;
        const char* path;
    };
    const Case cases[] = {
        {"no addresses: nothing is looked up", "/api/alerts/1"},
        // An empty source address is not a substring of every event.
        {"an empty source address matches nothing", "/api/alerts/2"},
        {"no event concerns the address", "/api/alerts/3"},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(
            get(c.path).body.ends_with(",\"related_events\":[],\"event_source\":\"none\","
                                       "\"note\":\"\",\"status_changed_at\":0}"))
            << c.rule;
    }
}

TEST_F(AlertApi, UnknownOrMalformedIdIsNotFound) {
    alert("one", AlertSeverity::low, 1);
    for (const char* path : {"/api/alerts/abc", "/api/alerts/2", "/api/alerts/0", "/api/alerts/-1",
                             "/api/alerts/4294967297", "/api/alerts/1x"}) {
        ApiReply r = get(path);
        EXPECT_EQ(r.status, 404) << path;
        EXPECT_EQ(r.body, "{\"error\":\"not found\"}") << path;
    }
    EXPECT_EQ(get("/api/alerts/001").status, 200) << "leading zeros are still the number";
    EXPECT_EQ(get("/api/alerts/1/extra").status, 0) << "no route has the extra segment";
    EXPECT_EQ(get("/api/alerts?search=%zz").status, 400);
}

TEST_F(AlertApi, TriageSetsTheStatusAndAnswersTheAlert) {
    PipelineRig::now = 900;
    alert("Scan", AlertSeverity::high, 10);
    alert("Other", AlertSeverity::low, 20);
    auto patch = [&](std::string_view target, std::string_view body) {
        return callApi(st, target, Method::patch, body);
    };
    ApiReply r = patch("/api/alerts/1", R"({"status":"resolved","note":"patched \"fw\""})");
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(r.body.starts_with("{\"id\":1,\"title\":\"Scan\"")) << r.body;
    EXPECT_NE(r.body.find("\"status\":\"resolved\""), std::string::npos) << r.body;
    EXPECT_TRUE(r.body.ends_with(",\"note\":\"patched \\\"fw\\\"\",\"status_changed_at\":900}"))
        << r.body;
    const Alert* a = rig.state.alerts->getAlert(1);
    EXPECT_EQ(a->status, AlertStatus::resolved);
    EXPECT_EQ(a->getNote(), "patched \"fw\"");
    EXPECT_EQ(rig.state.alerts->getAlert(2)->status, AlertStatus::new_);
    EXPECT_EQ(ids(get("/api/alerts?status=resolved").body), std::vector<u32>{1});
    EXPECT_EQ(patch("/api/alerts/1", R"({"status":"acknowledged"})").status, 200)
        << "a closed alert can be reopened";
    EXPECT_EQ(a->getNote(), "") << "each change carries its own note";

    struct Case {
        const char* rule;
        const char* target;
        const char* body;
        int status;
        std::string_view reply;
    };
    const Case cases[] = {
        {"unknown status", "/api/alerts/1", R"({"status":"closed"})", 400, kBodyBadStatus},
        {"status words are case-sensitive", "/api/alerts/1", R"({"status":"Resolved"})", 400,
         kBodyBadStatus},
        {"new is not a triage status", "/api/alerts/1", R"({"status":"new"})", 400, kBodyBadStatus},
        {"status not a string", "/api/alerts/1", R"({"status":3})", 400, kBodyBadStatus},
        {"no status", "/api/alerts/1", R"({"note":"x"})", 400, kBodyBadStatus},
        {"body not JSON", "/api/alerts/1", "status=resolved", 400, kBodyBadStatus},
        {"no body", "/api/alerts/1", "", 400, kBodyMissingBody},
        {"unknown id", "/api/alerts/3", R"({"status":"resolved"})", 404, kBodyNotFound},
        {"malformed id", "/api/alerts/x", R"({"status":"resolved"})", 404, kBodyNotFound},
    };
    for (const Case& c : cases) {
        ApiReply bad = patch(c.target, c.body);
        EXPECT_EQ(bad.status, c.status) << c.rule;
        EXPECT_EQ(bad.body, c.reply) << c.rule;
    }
    EXPECT_EQ(a->status, AlertStatus::acknowledged) << "refused requests change nothing";
}

}  // namespace
}  // namespace tarvex::test
