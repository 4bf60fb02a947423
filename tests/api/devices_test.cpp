// The device and graph endpoints over a full set of engine tables, called
// in-process through the route table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "common/clock.h"
#include "ingest/dhcp.h"
#include "support/api_call.h"
#include "support/log_capture.h"

namespace tarvex::test {
namespace {

std::string num(i64 v) {
    return std::to_string(v);
}

// Every value of `key` (a string value) in the body, in order.
std::vector<std::string> values(const std::string& body, const std::string& key) {
    std::vector<std::string> out;
    std::regex re("\"" + key + "\":\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(body.begin(), body.end(), re); it != std::sregex_iterator();
         ++it)
        out.push_back((*it)[1]);
    return out;
}

class DeviceApi : public ::testing::Test {
  protected:
    LogCapture quiet;  // the pipeline's parsers warn about the test lines
    PipelineRig rig;
    ServerState st = stateOf(rig);
    i64 now = wallSeconds();

    void SetUp() override { PipelineRig::now = now; }

    ApiReply get(std::string_view target) { return callApi(st, target); }

    DeviceFingerprint& device(std::string_view mac_text, std::string_view label, i64 last_seen) {
        auto mac = parseMac(mac_text);
        DeviceFingerprint* d = rig.state.fp->getOrCreateDevice(mac->b);
        d->setLabel(label);
        d->last_seen = last_seen;
        d->first_seen = last_seen ? last_seen - 100 : 0;
        return *d;
    }
    u32 node(std::string_view name, NodeType type, i64 last = 0, u32 access = 0) {
        u32 id = *rig.state.graph->addNode(name, type);
        rig.state.graph->nodes[id].last_activated = last;
        rig.state.graph->nodes[id].access_count = access;
        return id;
    }
    void edge(u32 a, u32 b, EdgeType t, f32 w) {
        ASSERT_TRUE(rig.state.graph->addEdge(a, b, t, w));
    }
};

TEST_F(DeviceApi, EmptyTablesGiveAnEmptyList) {
    ApiReply r = get("/api/devices");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"devices\":[],\"total\":0,\"limit\":50,\"offset\":0}");
}

TEST_F(DeviceApi, PagingParameters) {
    for (int i = 0; i < 3; ++i) device("00:00:00:00:00:0" + num(i + 1), "", now - 10 - i);
    struct Case {
        const char* rule;
        const char* query;
        u32 limit, offset, shown;
    };
    const Case cases[] = {
        {"defaults", "", 50, 0, 3},
        {"limit above 500 is cut to 500", "?limit=1000", 500, 0, 3},
        {"unparsable limit keeps 50", "?limit=abc", 50, 0, 3},
        {"negative offset keeps 0", "?offset=-1", 50, 0, 3},
        {"a page inside the list", "?limit=2&offset=1", 2, 1, 2},
        {"offset beyond the total is empty with the full total", "?offset=99", 50, 99, 0},
        {"limit 0 shows nothing", "?limit=0", 0, 0, 0},
    };
    for (const Case& c : cases) {
        ApiReply r = get(std::string("/api/devices") + c.query);
        EXPECT_EQ(r.status, 200) << c.rule;
        std::string tail =
            ",\"total\":3,\"limit\":" + num(c.limit) + ",\"offset\":" + num(c.offset) + "}";
        EXPECT_TRUE(r.body.ends_with(tail)) << c.rule << ": " << r.body;
        EXPECT_EQ(values(r.body, "mac").size(), c.shown) << c.rule;
    }
    // The page is taken after sorting newest first.
    EXPECT_EQ(values(get("/api/devices?limit=1&offset=1").body, "mac"),
              std::vector<std::string>{"00:00:00:00:00:02"});
}

TEST_F(DeviceApi, DeviceAndAddressEntriesInOrderWithExactFields) {
    DeviceFingerprint& d = device("3C:22:FB:00:00:01", "macbook", now - 10);
    d.confidence = 0.75f;
    d.signal_count = 3;
    u32 dev = node("3C:22:FB:00:00:01", NodeType::device);
    u32 dns = node("host.lan", NodeType::dns_name);
    u32 ip20 = node("192.168.1.20", NodeType::ip_address, now - 5, 1);
    u32 ip21 = node("192.168.1.21", NodeType::ip_address, now - 5, 1);
    u32 ip30 = node("192.168.1.30", NodeType::ip_address, now - 20, 7);
    u32 ip40 = node("192.168.1.40", NodeType::ip_address, now - 10, 2);
    u32 svc = node("tcp/22", NodeType::service);
    node("8.8.8.8", NodeType::ip_address, now - 1, 1);   // not a local address
    edge(dev, dns, EdgeType::assigned_to, 0.5f);         // not an address: skipped for "ip"
    edge(dev, ip20, EdgeType::assigned_to, 0.9f);        // the device's "ip"
    edge(dev, ip21, EdgeType::assigned_to, 0.9f);        // hidden, but not the first
    edge(dev, ip30, EdgeType::communicates_with, 0.5f);  // does not hide the address
    edge(svc, ip40, EdgeType::assigned_to, 0.7f);        // only device sources hide

    ApiReply r = get("/api/devices");
    EXPECT_EQ(r.body,
              "{\"devices\":["
              "{\"mac\":\"3C:22:FB:00:00:01\",\"label\":\"macbook\",\"ip\":\"192.168.1.20\","
              "\"confidence\":0.7500,\"signal_count\":3,\"first_seen\":" +
                  num(now - 110) + ",\"last_seen\":" + num(now - 10) +
                  ",\"type\":\"fingerprinted\",\"hostname\":\"\",\"vendor\":\"\",\"kind\":\"\","
                  "\"evidence\":\"\"},"
                  "{\"mac\":\"00:00:00:00:00:00\",\"label\":\"192.168.1.40\",\"confidence\":0.0000,"
                  "\"signal_count\":2,\"first_seen\":0,\"last_seen\":" +
                  num(now - 10) +
                  ",\"type\":\"ip\"},"
                  "{\"mac\":\"00:00:00:00:00:00\",\"label\":\"192.168.1.30\",\"confidence\":0.0000,"
                  "\"signal_count\":7,\"first_seen\":0,\"last_seen\":" +
                  num(now - 20) + ",\"type\":\"ip\"}],\"total\":3,\"limit\":50,\"offset\":0}");
}

TEST_F(DeviceApi, StatusFilterSplitsAtOneHour) {
    device("00:00:00:00:00:01", "fresh", now - 10);
    device("00:00:00:00:00:02", "old", now - 3600);
    device("00:00:00:00:00:03", "never", 0);
    device("00:00:00:00:00:04", "edge", now - 3599);
    node("10.0.0.1", NodeType::ip_address, now - 100, 1);
    node("10.0.0.2", NodeType::ip_address, 0, 0);
    const std::vector<std::string> active = {"fresh", "10.0.0.1", "edge"};
    // Ties keep collection order: devices before addresses.
    const std::vector<std::string> inactive = {"old", "never", "10.0.0.2"};
    struct Case {
        const char* rule;
        const char* query;
        const std::vector<std::string>& labels;
    };
    const Case cases[] = {
        {"absent status means active", "", active},
        {"active", "?status=active", active},
        {"inactive", "?status=inactive", inactive},
        {"any other value is the complement", "?status=ACTIVE", inactive},
        {"an empty value is not active", "?status=", inactive},
    };
    for (const Case& c : cases)
        EXPECT_EQ(values(get(std::string("/api/devices") + c.query).body, "label"), c.labels)
            << c.rule;
}

TEST_F(DeviceApi, SearchMatchesAddressTextLabelAndAddressNamesExactly) {
    device("3C:22:FB:00:00:01", "macbook", now - 10);
    device("00:11:22:33:44:55", "printer", now - 20);
    u32 dev = node("3C:22:FB:00:00:01", NodeType::device);
    u32 ip = node("192.168.1.20", NodeType::ip_address, now - 5, 1);
    edge(dev, ip, EdgeType::assigned_to, 0.9f);
    node("192.168.1.30", NodeType::ip_address, now - 30, 1);
    struct Case {
        const char* rule;
        const char* search;
        std::vector<std::string> labels;
    };
    const Case cases[] = {
        {"address text, upper case", "3C:22", {"macbook"}},
        {"letter case is ignored", "3c:22", {"macbook"}},
        {"label in another case", "MacBook", {"macbook"}},
        {"percent-decoded query value", "3C%3A22", {"macbook"}},
        {"label substring", "print", {"printer"}},
        {"address node name", "192.168.1.3", {"192.168.1.30"}},
        {"a device's assigned address is not searched", "192.168.1.20", {}},
        {"empty search lists all", "", {"macbook", "printer", "192.168.1.30"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(values(get(std::string("/api/devices?search=") + c.search).body, "label"),
                  c.labels)
            << c.rule;
}

TEST_F(DeviceApi, DetailResolvesNodeThenAddressThenLabel) {
    DeviceFingerprint& d = device("AA:BB:CC:DD:EE:FF", "phone", now - 50);
    d.signal_count = 9;
    device("00:11:22:33:44:55", "printer", now - 60).signal_count = 2;
    u32 dev = node("AA:BB:CC:DD:EE:FF", NodeType::device, now - 7, 4);
    rig.state.graph->nodes[dev].activation = 0.25f;
    u32 ip = node("192.168.1.20", NodeType::ip_address, now - 3, 2);
    edge(dev, ip, EdgeType::assigned_to, 0.9f);

    // Identification keys after the first ones: empty for a bare address node.
    auto ident = [](const std::string& label) {
        return ",\"label\":\"" + label +
               "\",\"hostname\":\"\",\"vendor\":\"\",\"kind\":\"\",\"evidence\":\"\",\"user_name\":"
               "\"\",\"user_kind\":\"\"}";
    };
    const std::string to_ip =
        ",\"neighbors\":[{\"name\":\"192.168.1.20\",\"type\":\"ip_address\",\"edge_type\":"
        "\"assigned_to\",\"weight\":0.9000}],\"recent_events\":[]" +
        ident("phone");
    auto body = [](const std::string& id, const char* type, i64 signals, i64 last, const char* act,
                   const std::string& rest) {
        return "{\"id\":\"" + id + "\",\"type\":\"" + type + "\",\"signal_count\":" + num(signals) +
               ",\"last_seen\":" + num(last) + ",\"activation\":" + act + rest;
    };
    const std::string none = ",\"neighbors\":[],\"recent_events\":[]" + ident("printer");
    struct Case {
        const char* rule;
        const char* path;
        int status;
        std::string body;
    };
    const Case cases[] = {
        {"a node named exactly: the node's counters", "/api/devices/AA:BB:CC:DD:EE:FF", 200,
         body("AA:BB:CC:DD:EE:FF", "device", 4, now - 7, "0.2500", to_ip)},
        {"lower case finds the device record and through it the node",
         "/api/devices/aa:bb:cc:dd:ee:ff", 200,
         body("aa:bb:cc:dd:ee:ff", "device", 9, now - 50, "0.2500", to_ip)},
        {"a label finds the device", "/api/devices/phone", 200,
         body("phone", "device", 9, now - 50, "0.2500", to_ip)},
        {"the id is percent-decoded", "/api/devices/AA%3ABB%3Acc%3ADD%3AEE%3AFF", 200,
         body("AA:BB:cc:DD:EE:FF", "device", 9, now - 50, "0.2500", to_ip)},
        {"an address node", "/api/devices/192.168.1.20", 200,
         body("192.168.1.20", "ip_address", 2, now - 3, "0.0000",
              ",\"neighbors\":[{\"name\":\"AA:BB:CC:DD:EE:FF\",\"type\":\"device\",\"edge_type\":"
              "\"assigned_to\",\"weight\":0.9000}],\"recent_events\":[]" +
                  ident(""))},
        {"a device without a node", "/api/devices/printer", 200,
         body("printer", "fingerprinted", 2, now - 60, "0.0000", none)},
        {"an address without a node", "/api/devices/00:11:22:33:44:55", 200,
         body("00:11:22:33:44:55", "fingerprinted", 2, now - 60, "0.0000", none)},
        {"nothing by that name", "/api/devices/nobody", 404, "{\"error\":\"not found\"}"},
        {"a well-formed unknown address", "/api/devices/00:00:00:00:00:09", 404,
         "{\"error\":\"not found\"}"},
    };
    for (const Case& c : cases) {
        ApiReply r = get(c.path);
        EXPECT_EQ(r.status, c.status) << c.rule;
        EXPECT_EQ(r.body, c.body) << c.rule;
    }
}

TEST_F(DeviceApi, RecentEventsAreTheNewestFiftyMentioningTheId) {
    for (int k = 0; k < 60; ++k) {
        PipelineRig::now = 1000 + k;
        rig.send("probe 192.168.1.20 #" + num(k), "10.0.0.9");
        rig.send("unrelated #" + num(k), "10.0.0.9");
    }
    PipelineRig::now = 2000;
    rig.send("sent by the address itself", "192.168.1.20");
    ASSERT_TRUE(rig.p->ensureNode("192.168.1.20", NodeType::ip_address));
    const u32 type = rig.state.ring->newest(1).event_type;

    ApiReply r = get("/api/devices/192.168.1.20");
    EXPECT_EQ(values(r.body, "data").size(), 50u);
    EXPECT_NE(
        r.body.find("\"recent_events\":[{\"timestamp\":2000,\"type\":" +
                    num(rig.state.ring->newest(0).event_type) +
                    ",\"data\":\"sent by the address itself\"},{\"timestamp\":1059,\"type\":" +
                    num(type) + ",\"data\":\"probe 192.168.1.20 #59\"}"),
        std::string::npos)
        << r.body;
    EXPECT_NE(r.body.find("{\"timestamp\":1011,\"type\":" + num(type) +
                          ",\"data\":\"probe 192.168.1.20 #11\"}],\"label\":"),
              std::string::npos)
        << r.body;
    EXPECT_EQ(r.body.find("unrelated"), std::string::npos);
}

TEST_F(DeviceApi, ActivityCountsMatchingEventsPerThirtySeconds) {
    for (i64 t : {100, 110, 130}) {
        PipelineRig::now = t;
        rig.send("ping from 192.168.1.20", "10.0.0.1");
    }
    PipelineRig::now = 140;
    rig.send("something else", "10.0.0.1");
    EXPECT_EQ(get("/api/devices/192.168.1.20/activity").body,
              "[{\"t\":90,\"count\":2},{\"t\":120,\"count\":1}]");
    EXPECT_EQ(get("/api/devices/unknown-id/activity").body, "[]");
}

TEST_F(DeviceApi, ActivityKeepsAtMostTheNewestHundredTwentyBuckets) {
    for (i64 k = 0; k < 130; ++k) {
        PipelineRig::now = k * 30;
        rig.send("tick", "10.0.0.1");
    }
    ApiReply r = get("/api/devices/10.0.0.1/activity");
    std::regex re("\\{\"t\":(\\d+),\"count\":1\\}");
    std::vector<i64> starts;
    for (auto it = std::sregex_iterator(r.body.begin(), r.body.end(), re);
         it != std::sregex_iterator(); ++it)
        starts.push_back(std::stoll((*it)[1]));
    ASSERT_EQ(starts.size(), 120u);
    EXPECT_EQ(starts.front(), 10 * 30);  // the ten oldest buckets were dropped
    EXPECT_EQ(starts.back(), 129 * 30);
    EXPECT_TRUE(std::is_sorted(starts.begin(), starts.end()));
}

TEST_F(DeviceApi, SimilarDevicesAboveHalfMostSimilarFirst) {
    auto observe = [&](std::string_view mac_text, std::initializer_list<const char*> facts) {
        auto mac = parseMac(mac_text);
        for (const char* f : facts) rig.state.fp->observeSignal(mac->b, SignalType::hostname, f);
        return rig.state.fp->findDevice(mac->b);
    };
    observe("00:00:00:00:00:01", {"a"})->setLabel("base");
    observe("00:00:00:00:00:02", {"a"})->confidence = 0.5f;  // identical
    observe("00:00:00:00:00:03", {"a", "b"});                // about three quarters
    const DeviceFingerprint* unrelated = observe("00:00:00:00:00:04", {"z"});
    ASSERT_LE(ConceptVector::similarity(rig.state.fp->devices[0].vector, unrelated->vector), 0.5f)
        << "the unrelated fact should give a similarity of about one half, not above";

    ApiReply r = get("/api/devices/00:00:00:00:00:01/similar");
    EXPECT_EQ(r.status, 200);
    std::regex re(
        "^\\{\"device\":\"00:00:00:00:00:01\",\"similar\":\\["
        "\\{\"mac\":\"00:00:00:00:00:02\",\"label\":\"\",\"similarity\":1\\.0000,"
        "\"confidence\":0\\.5000\\},"
        "\\{\"mac\":\"00:00:00:00:00:03\",\"label\":\"\",\"similarity\":0\\.[67][0-9]{3},"
        "\"confidence\":0\\.[0-9]{4}\\}\\]\\}$");
    EXPECT_TRUE(std::regex_match(r.body, re)) << r.body;
    const std::string by_label = get("/api/devices/base/similar").body;
    EXPECT_EQ(by_label.substr(by_label.find("\"similar\"")),
              r.body.substr(r.body.find("\"similar\"")))
        << "a label finds the device";

    observe("00:00:00:00:00:0A", {"q"});
    ApiReply upper = get("/api/devices/00:00:00:00:00:0A/similar");
    ApiReply lower = get("/api/devices/00:00:00:00:00:0a/similar");
    EXPECT_EQ(upper.status, 200);
    EXPECT_EQ(lower.status, 200) << "the address text names a device in either case";
    EXPECT_EQ(lower.body.substr(lower.body.find("\"similar\"")),
              upper.body.substr(upper.body.find("\"similar\"")));
    EXPECT_EQ(get("/api/devices/00:00:00:00:00:0b/similar").body,
              "{\"error\":\"device not found\"}");
}

TEST_F(DeviceApi, SimilarKeepsTheTenBestAndOnlyStrictImprovementsReplace) {
    auto mac = [](int i) {
        char t[18];
        std::snprintf(t, sizeof t, "00:00:00:00:01:%02X", i);
        return std::string(t);
    };
    for (int i = 0; i < 14; ++i) {
        auto m = parseMac(mac(i));
        rig.state.fp->observeSignal(m->b, SignalType::hostname, "same");
        if (i == 12) rig.state.fp->observeSignal(m->b, SignalType::hostname, "less");
    }
    ApiReply r = get("/api/devices/" + mac(0) + "/similar");
    std::vector<std::string> macs = values(r.body, "mac");
    ASSERT_EQ(macs.size(), 10u);
    // Twelve others tie at 1.0: the first ten in slot order stay; the weaker
    // one never enters.
    for (int i = 0; i < 10; ++i) EXPECT_EQ(macs[static_cast<size_t>(i)], mac(i + 1));
}

TEST_F(DeviceApi, BaselineAnswers) {
    device("00:11:22:33:44:55", "nas", now);
    device("00:11:22:33:44:AB", "tv", now);
    DeviceBaseline& b = rig.state.baseline->devices[3];
    b.active = true;
    std::memcpy(b.mac, parseMac("00:11:22:33:44:55")->b, 6);
    b.observation_count = 12;
    b.learning = true;
    b.last_observation = 1234;
    std::memset(b.model.layers[0].errors, 0, sizeof b.model.layers[0].errors);
    b.model.layers[0].errors[0] = -0.3f;
    b.model.layers[0].errors[1] = 5.0f;
    b.model.layers[0].errors[9] = 0.125f;
    b.model.normalized_error = 0.0625f;
    struct Case {
        const char* rule;
        const char* path;
        int status;
        std::string body;
    };
    const Case cases[] = {
        {"a device with a baseline, by label", "/api/devices/nas/baseline", 200,
         "{\"mac\":\"nas\",\"observation_count\":12,\"learning\":true,\"last_observation\":1234,"
         "\"features\":[{\"name\":\"dns_query_volume\",\"modulation\":1.3000},"
         "{\"name\":\"dns_unique_domains\",\"modulation\":2.0000},"
         "{\"name\":\"conn_count\",\"modulation\":1.0000},"
         "{\"name\":\"unique_destinations\",\"modulation\":1.0000},"
         "{\"name\":\"bytes_in\",\"modulation\":1.0000},"
         "{\"name\":\"bytes_out\",\"modulation\":1.0000},"
         "{\"name\":\"new_dest_rate\",\"modulation\":1.0000},"
         "{\"name\":\"protocol_diversity\",\"modulation\":1.0000},"
         "{\"name\":\"time_of_day_activity\",\"modulation\":1.0000},"
         "{\"name\":\"beacon_regularity\",\"modulation\":1.1250}],\"surprise\":0.0625}"},
        {"a device without one", "/api/devices/tv/baseline", 404,
         "{\"error\":\"no baseline data for device\"}"},
        {"by its upper-case address text", "/api/devices/00:11:22:33:44:AB/baseline", 404,
         "{\"error\":\"no baseline data for device\"}"},
        {"by its lower-case address text", "/api/devices/00:11:22:33:44:ab/baseline", 404,
         "{\"error\":\"no baseline data for device\"}"},
        {"no such device", "/api/devices/ghost/baseline", 404, "{\"error\":\"device not found\"}"},
    };
    for (const Case& c : cases) {
        ApiReply r = get(c.path);
        EXPECT_EQ(r.status, c.status) << c.rule;
        EXPECT_EQ(r.body, c.body) << c.rule;
    }
}

TEST_F(DeviceApi, GraphPagesNodesAndEdgesIndependently) {
    u32 a = node("AA:BB:CC:DD:EE:FF", NodeType::device);
    u32 b = node("192.168.1.20", NodeType::ip_address);
    u32 c = node("example.com", NodeType::dns_name);
    rig.state.graph->nodes[b].activation = 0.5f;
    edge(a, b, EdgeType::assigned_to, 0.9f);
    edge(b, c, EdgeType::communicates_with, 0.55f);
    struct Case {
        const char* rule;
        const char* query;
        std::string nodes, edges;
    };
    const std::string na =
        "{\"id\":0,\"name\":\"AA:BB:CC:DD:EE:FF\",\"type\":\"device\","
        "\"activation\":0.0000}";
    const std::string nb =
        "{\"id\":1,\"name\":\"192.168.1.20\",\"type\":\"ip_address\","
        "\"activation\":0.5000}";
    const std::string nc =
        "{\"id\":2,\"name\":\"example.com\",\"type\":\"dns_name\","
        "\"activation\":0.0000}";
    const std::string e0 = "{\"source\":0,\"target\":1,\"type\":\"assigned_to\",\"weight\":0.9000}";
    const std::string e1 =
        "{\"source\":1,\"target\":2,\"type\":\"communicates_with\",\"weight\":0.5500}";
    const Case cases[] = {
        {"everything by default", "", na + "," + nb + "," + nc, e0 + "," + e1},
        {"limit 0 gives empty arrays with the totals", "?limit=0", "", ""},
        {"offset skips active nodes and edges alike", "?offset=1", nb + "," + nc, e1},
        {"limit caps each array", "?limit=1&offset=1", nb, e1},
        {"offset past the edges still shows nodes", "?offset=2", nc, ""},
        {"unparsable values keep the defaults", "?limit=x&offset=y", na + "," + nb + "," + nc,
         e0 + "," + e1},
    };
    for (const Case& cs : cases) {
        EXPECT_EQ(get(std::string("/api/graph") + cs.query).body,
                  "{\"nodes\":[" + cs.nodes + "],\"edges\":[" + cs.edges +
                      "],\"total_nodes\":3,\"total_edges\":2}")
            << cs.rule;
    }
}

TEST_F(DeviceApi, GraphLimitIsCutToTenThousand) {
    for (int i = 0; i < 10001; ++i) node(num(i) + ".lan", NodeType::dns_name);
    ApiReply r = get("/api/graph?limit=20000");
    EXPECT_EQ(values(r.body, "type").size(), 10000u);
    EXPECT_TRUE(r.body.ends_with("\"total_nodes\":10001,\"total_edges\":0}"));
}

TEST_F(DeviceApi, UnparsableQueryStringIsABadRequest) {
    for (const char* path : {"/api/devices?limit=%zz", "/api/graph?=1"}) {
        ApiReply r = get(path);
        EXPECT_EQ(r.status, 400) << path;
        EXPECT_EQ(r.body, "{\"error\":\"bad query string\"}") << path;
    }
}

}  // namespace
}  // namespace tarvex::test

namespace tarvex::test {
namespace {

class DeviceOverrideApi : public DeviceApi {};

TEST_F(DeviceOverrideApi, PutStoresTheCorrectionAndAnswersTheDevice) {
    DeviceFingerprint& d = device("3C:22:FB:00:00:01", "MacBook / iMac", now - 10);
    struct Case {
        const char* rule;
        const char* path;
        std::string body;
        int status;
        const char* expect;  // a part of the answer
    };
    const Case cases[] = {
        {"name and kind", "/api/devices/3C:22:FB:00:00:01",
         R"({"name":"Work laptop","kind":"laptop"})", 200, R"("label":"Work laptop")"},
        {"lower-case address, kind only", "/api/devices/3c:22:fb:00:00:01", R"({"kind":"nas"})",
         200, R"("kind":"nas","evidence":"","user_name":"Work laptop","user_kind":"nas")"},
        {"by its label", "/api/devices/Work%20laptop", R"({"name":"Office laptop"})", 200,
         R"("id":"3C:22:FB:00:00:01")"},
        {"an empty name clears it", "/api/devices/3C:22:FB:00:00:01", R"({"name":""})", 200,
         R"("label":"MacBook / iMac")"},
        {"neither key", "/api/devices/3C:22:FB:00:00:01", R"({"label":"x"})", 400, "error"},
        {"a number is no name", "/api/devices/3C:22:FB:00:00:01", R"({"name":7})", 400, "error"},
        {"not an object", "/api/devices/3C:22:FB:00:00:01", R"(["name"])", 400, "error"},
        {"not JSON", "/api/devices/3C:22:FB:00:00:01", "name=x", 400, "error"},
        {"no body", "/api/devices/3C:22:FB:00:00:01", "", 400, "error"},
        {"a name over 64 bytes", "/api/devices/3C:22:FB:00:00:01",
         R"({"name":")" + std::string(65, 'x') + R"("})", 400, "at most 64"},
        {"an unknown device", "/api/devices/00:00:00:00:00:09", R"({"name":"x"})", 404,
         "device not found"},
    };
    for (const Case& c : cases) {
        ApiReply r = callApi(st, c.path, Method::put, c.body);
        EXPECT_EQ(r.status, c.status) << c.rule << ": " << r.body;
        EXPECT_NE(r.body.find(c.expect), std::string::npos) << c.rule << ": " << r.body;
    }
    EXPECT_EQ(d.getUserKind(), "nas");
    EXPECT_TRUE(d.user_known);
    // Identification never writes over it.
    rig.send("dnsmasq-dhcp[1]: DHCPACK(br0) 192.168.1.20 3c:22:fb:00:00:01 Annas-MacBook-Pro");
    EXPECT_EQ(d.getUserKind(), "nas");
    EXPECT_EQ(d.getLabel(), "MacBook / iMac");
    ApiReply list = get("/api/devices?search=NAS");
    EXPECT_EQ(values(list.body, "kind"), std::vector<std::string>{"nas"}) << list.body;
}

TEST_F(DeviceOverrideApi, ListShowsHostNameVendorAndKindAndSearchFindsThem) {
    rig.send("dnsmasq-dhcp[1]: DHCPACK(br0) 192.168.1.20 3c:22:fb:00:00:02 Annas-iPhone");
    ApiReply r = get("/api/devices?search=annas");
    EXPECT_EQ(values(r.body, "hostname"), std::vector<std::string>{"Annas-iPhone"}) << r.body;
    EXPECT_EQ(values(r.body, "label"), std::vector<std::string>{"iPhone"}) << r.body;
    if (rig.state.oui.available()) {
        EXPECT_EQ(values(r.body, "vendor"), std::vector<std::string>{"Apple, Inc."}) << r.body;
        EXPECT_EQ(values(get("/api/devices?search=apple").body, "hostname"),
                  std::vector<std::string>{"Annas-iPhone"});
    }
    EXPECT_EQ(values(get("/api/devices?search=phone").body, "kind"),
              std::vector<std::string>{"phone"});
}

}  // namespace
}  // namespace tarvex::test
