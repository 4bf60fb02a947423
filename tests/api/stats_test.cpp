// The statistics and event search endpoints, called in-process.
#include <gtest/gtest.h>

#include <string>

#include "support/api_call.h"
#include "support/log_capture.h"

namespace tarvex::test {
namespace {

class StatsApi : public ::testing::Test {
  protected:
    LogCapture quiet;  // the pipeline's parsers warn about the test lines
    PipelineRig rig;
    ServerState st = stateOf(rig);
    ApiReply get(std::string_view target) { return callApi(st, target); }
};

TEST_F(StatsApi, FreshProcess) {
    EXPECT_EQ(get("/api/stats").body,
              "{\"devices\":0,\"alerts\":0,\"events_processed\":0,\"anomalies\":0,"
              "\"graph_nodes\":0,\"graph_edges\":0,\"events_per_second\":0.0,\"events_dropped\":0,"
              "\"stream_connections\":0,\"stream_refused\":0}");
    EXPECT_EQ(get("/api/stats/history").body, "[]");
}

TEST_F(StatsApi, DevicesCountLocalAddressNodesToo) {
    const u8 mac[6] = {0, 1, 2, 3, 4, 5};
    rig.state.fp->getOrCreateDevice(mac);
    for (const char* name : {"192.168.1.2", "10.1.2.3", "172.16.0.1"})
        rig.state.graph->addNode(name, NodeType::ip_address);
    rig.state.graph->addNode("8.8.8.8", NodeType::ip_address);    // public
    rig.state.graph->addNode("192.168.1.9", NodeType::dns_name);  // not an address node
    rig.state.counters.events_processed = 12;
    rig.state.counters.anomalies_detected = 3;
    rig.state.counters.events_dropped = 7;
    rig.state.history.entries[0].events_per_second = 2.25f;
    rig.state.history.pos = rig.state.history.count = 1;
    EXPECT_EQ(get("/api/stats").body,
              "{\"devices\":4,\"alerts\":0,\"events_processed\":12,\"anomalies\":3,"
              "\"graph_nodes\":5,\"graph_edges\":0,\"events_per_second\":2.2,\"events_dropped\":7,"
              "\"stream_connections\":0,\"stream_refused\":0}");
}

TEST_F(StatsApi, HistoryIsOldestFirstAndWrapsAfter360) {
    for (u32 k = 0; k < 361; ++k) {
        rig.state.counters.events_processed = k;
        rig.p->recordSnapshot(static_cast<i64>(1000 + 5 * k));
    }
    // The 361st snapshot went to slot 0; the history starts at slot 1.
    std::string history = get("/api/stats/history").body;
    EXPECT_TRUE(
        history.starts_with("[{\"t\":1005,\"eps\":0.2,\"events\":1,\"devices\":0,"
                            "\"alerts\":0,\"anomalies\":0,\"nodes\":0,\"edges\":0},"))
        << history.substr(0, 200);
    EXPECT_TRUE(
        history.ends_with(",{\"t\":2800,\"eps\":0.2,\"events\":360,\"devices\":0,"
                          "\"alerts\":0,\"anomalies\":0,\"nodes\":0,\"edges\":0}]"));
    size_t n = 0;
    for (size_t p = history.find("{\"t\":"); p != std::string::npos;
         p = history.find("{\"t\":", p + 1))
        ++n;
    EXPECT_EQ(n, 360u);
    rig.state.history.entries[0].events_per_second = 7.0f;
    EXPECT_TRUE(get("/api/stats")
                    .body.ends_with("\"events_per_second\":7.0,\"events_dropped\":0,\"stream_"
                                    "connections\":0,\"stream_refused\":0}"))
        << "the newest snapshot is in slot 0";
}

class EventSearchApi : public ::testing::Test {
  protected:
    LogCapture quiet;  // the pipeline's parsers warn about the test lines
    PipelineRig rig;
    ServerState st = stateOf(rig);
    ApiReply get(std::string_view target) { return callApi(st, target); }

    void SetUp() override {
        // Ten events at 100..109: even ones from 192.168.1.2 say "alpha",
        // odd ones from 10.0.0.3 say "beta".
        for (int k = 0; k < 10; ++k) {
            PipelineRig::now = 100 + k;
            std::string line = k % 2 ? "beta " : "alpha ";
            line += std::to_string(k);
            rig.send(line, k % 2 ? "10.0.0.3" : "192.168.1.2");
        }
        rig.state.ring->events[3].event_type = 4;  // the fourth event, "beta 3", as a firewall line
    }
    std::string datas(const std::string& body) {
        std::string out;
        for (size_t p = body.find("\"data\":\""); p != std::string::npos;
             p = body.find("\"data\":\"", p + 1)) {
            size_t s = p + 8;
            out += body.substr(s, body.find('"', s) - s) + ";";
        }
        return out;
    }
};

TEST_F(EventSearchApi, FiltersAndTheTotalRule) {
    struct Case {
        const char* rule;
        const char* query;
        const char* data;
        u32 total;
    };
    const Case cases[] = {
        {"all, newest first", "?limit=3", "beta 9;alpha 8;beta 7;", 3},
        {"a full page stops the walk: total is offset + limit", "?limit=2", "beta 9;alpha 8;", 2},
        {"a page that does not fill counts every match", "?limit=50", nullptr, 10},
        {"offset skips matches", "?limit=2&offset=3", "alpha 6;beta 5;", 5},
        {"offset past the matches", "?offset=20", "", 10},
        {"limit 0 walks nothing", "?limit=0", "", 0},
        {"q in the text", "?q=alpha&limit=2", "alpha 8;alpha 6;", 2},
        {"q in the sender address", "?q=10.0.0&offset=3", "beta 3;beta 1;", 5},
        {"q is case-sensitive", "?q=ALPHA", "", 0},
        {"type", "?type=4", "beta 3;", 1},
        {"type above 255 is no filter", "?type=256&limit=1", "beta 9;", 1},
        {"an unparsable type is no filter", "?type=x&limit=1", "beta 9;", 1},
        {"from and to are inclusive", "?from=102&to=104", "alpha 4;beta 3;alpha 2;", 3},
        {"an unparsable bound is open", "?from=abc&to=100", "alpha 0;", 1},
        {"negative bounds are numbers", "?from=-5&to=-1", "", 0},
    };
    for (const Case& c : cases) {
        ApiReply r = get(std::string("/api/events/search") + c.query);
        EXPECT_EQ(r.status, 200) << c.rule;
        if (c.data) {
            EXPECT_EQ(datas(r.body), c.data) << c.rule;
        }
        EXPECT_NE(r.body.find("],\"total\":" + std::to_string(c.total) + ",\"limit\":"),
                  std::string::npos)
            << c.rule << ": " << r.body;
    }
}

TEST_F(EventSearchApi, EventFieldsAndErrors) {
    const std::string t = std::to_string(rig.state.ring->newest(0).event_type);
    EXPECT_EQ(get("/api/events/search?limit=1").body,
              "{\"events\":[{\"timestamp\":109,\"type\":" + t +
                  ",\"source_ip\":\"10.0.0.3\",\"data\":\"beta 9\"}],\"total\":1,\"limit\":1,"
                  "\"offset\":0}");
    ApiReply bad = get("/api/events/search?q=%G1");
    EXPECT_EQ(bad.status, 400);
    EXPECT_EQ(bad.body, "{\"error\":\"bad query string\"}");
}

TEST(EventSearchEmpty, EmptyRingAnswersNothing) {
    LogCapture quiet;
    PipelineRig rig;
    ServerState st = stateOf(rig);
    EXPECT_EQ(callApi(st, "/api/events/search").body,
              "{\"events\":[],\"total\":0,\"limit\":50,\"offset\":0}");
}

}  // namespace
}  // namespace tarvex::test
