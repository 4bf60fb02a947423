// End-to-end: log lines sent to the real daemon over UDP, then read back
// through the device, graph, alert, event and statistics endpoints with a
// real HTTP/1.1 client.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>

#include "common/address.h"
#include "pipeline.h"
#include "support/daemon.h"
#include "support/http_client.h"

namespace tarvex::test {
namespace {

using nlohmann::json;

struct Reply {
    int status = 0;
    std::string head;
    std::string body;
};

// A daemon on free ports, with helpers to feed it and to read its API.
class LiveDaemon {
  public:
    LiveDaemon()
        : http_(freePort(SOCK_STREAM)),
          udp_(freePort(SOCK_DGRAM)),
          d_({}, {{"PORT", std::to_string(http_)},
                  {"SYSLOG_PORT", std::to_string(udp_)},
                  {"HOST", "127.0.0.1"}}) {}

    bool ready() {
        if (!d_.waitForLine("info(server): HTTP server listening on")) return false;
        for (int i = 0; i < 200; ++i) {
            if (get("/api/health").status == 200) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    Reply get(const std::string& target) {
        Reply r;
        RawConn c(http_);
        if (!c.ok() || !c.send("GET " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n")) return r;
        std::string text = c.readResponse();
        size_t end = text.find("\r\n\r\n");
        if (text.size() < 12 || end == std::string::npos) return r;
        r.status = std::stoi(text.substr(9, 3));
        r.head = text.substr(0, end);
        r.body = text.substr(end + 4);
        return r;
    }
    json getJson(const std::string& target) {
        return json::parse(get(target).body, nullptr, false);
    }

    u64 processed() {
        json s = getJson("/api/stats");
        return s.is_object() ? s["events_processed"].get<u64>() : 0;
    }
    // Waits until the daemon has processed `n` events in all.
    bool waitProcessed(u64 n) {
        for (int i = 0; i < 500; ++i) {
            if (processed() >= n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    void send(const std::string& payload) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(udp_));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        close(fd);
    }
    // Sends one line and waits for it to be processed, so lines keep order.
    bool feed(const std::string& line) {
        u64 before = processed();
        send(line);
        return waitProcessed(before + 1);
    }

  private:
    int http_;
    int udp_;
    Daemon d_;
};

bool matches(const std::string& body, const std::string& pattern) {
    return std::regex_match(body, std::regex(pattern));
}

bool isLocalName(const std::string& s) {
    return isLocalIp(s);
}

const char* const kDhcp =
    "<30>Dec  8 05:00:00 gw dnsmasq-dhcp[77]: DHCPACK(br0) 192.168.1.20 3c:22:fb:12:34:56 macbook";
const char* const kFirewall =
    "Dec  8 05:00:01 gw [LAN_IN-D-1] IN=br0 OUT=eth8 SRC=192.168.1.30 DST=192.168.1.40 LEN=60 "
    "PROTO=TCP SPT=40000 DPT=22";
const char* const kCef =
    "<134>Dec  8 05:00:02 gw CEF:0|Ubiquiti|UniFi Network|10.0|201|Threat Detected|8|proto=TCP "
    "src=198.51.100.10 dst=192.168.0.233 dpt=443 UNIFIcategory=Security";

class E2eApiRead : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        daemon_ = new LiveDaemon();
        ASSERT_TRUE(daemon_->ready());
        for (const char* line : {kDhcp, kFirewall, kCef}) ASSERT_TRUE(daemon_->feed(line));
    }
    static void TearDownTestSuite() {
        delete daemon_;
        daemon_ = nullptr;
    }
    static LiveDaemon* daemon_;
    Reply get(const std::string& t) { return daemon_->get(t); }
};
LiveDaemon* E2eApiRead::daemon_ = nullptr;

TEST_F(E2eApiRead, DeviceListEntriesFiltersAndPaging) {
    struct Case {
        const char* rule;
        const char* target;
        const char* pattern;
    };
    const Case cases[] = {
        {"a fingerprinted device with its assigned address", "/api/devices?search=3C:22:FB",
         R"(\{"devices":\[\{"mac":"3C:22:FB:12:34:56","label":"[^"]*","ip":"192\.168\.1\.20",)"
         R"("confidence":\d\.\d{4},"signal_count":2,"first_seen":\d+,"last_seen":\d+,)"
         R"("type":"fingerprinted","hostname":"macbook","vendor":"[^"]*","kind":"[^"]*",)"
         R"("evidence":"[^"]*"\}\],"total":1,"limit":50,"offset":0\})"},
        {"an unassigned local address", "/api/devices?search=192.168.1.4",
         R"(\{"devices":\[\{"mac":"00:00:00:00:00:00","label":"192\.168\.1\.40",)"
         R"("confidence":0\.0000,"signal_count":1,"first_seen":0,"last_seen":\d+,"type":"ip"\}\],)"
         R"("total":1,"limit":50,"offset":0\})"},
        {"an assigned address shows only as the device's ip", "/api/devices?search=192.168.1.20",
         R"(\{"devices":\[\],"total":0,"limit":50,"offset":0\})"},
        {"nothing inactive yet", "/api/devices?status=inactive",
         R"(\{"devices":\[\],"total":0,"limit":50,"offset":0\})"},
        {"limit cut to 500, offset beyond the total", "/api/devices?limit=1000&offset=10",
         R"(\{"devices":\[\],"total":4,"limit":500,"offset":10\})"},
        {"bad query string", "/api/devices?search=%zz", R"(\{"error":"bad query string"\})"},
    };
    for (const Case& c : cases)
        EXPECT_TRUE(matches(get(c.target).body, c.pattern)) << c.rule << ": " << get(c.target).body;
}

TEST_F(E2eApiRead, DeviceDetailByNodeNameAddressAndEncodedId) {
    const std::string to_ip =
        R"("neighbors":\[\{"name":"192\.168\.1\.20","type":"ip_address","edge_type":)"
        R"("assigned_to","weight":0\.9000\}\])";
    const std::string dhcp_event =
        R"(\{"timestamp":\d+,"type":2,"data":"<30>Dec  8 05:00:00 gw dnsmasq-dhcp\[77\]: )"
        R"(DHCPACK\(br0\) 192\.168\.1\.20 3c:22:fb:12:34:56 macbook"\})";
    struct Case {
        const char* rule;
        const char* target;
        int status;
        std::string pattern;
    };
    const Case cases[] = {
        {"upper case names the device node: the node's counters", "/api/devices/3C:22:FB:12:34:56",
         200,
         R"(\{"id":"3C:22:FB:12:34:56","type":"device","signal_count":0,"last_seen":0,)"
         R"("activation":0\.0000,)" +
             to_ip + R"(,"recent_events":\[\],"label":.*\})"},
        {"lower case finds the device record", "/api/devices/3c:22:fb:12:34:56", 200,
         R"(\{"id":"3c:22:fb:12:34:56","type":"device","signal_count":2,"last_seen":\d+,)"
         R"("activation":0\.0000,)" +
             to_ip + R"(,"recent_events":\[)" + dhcp_event + R"(\],"label":"[^"]*","hostname":"macbook",)"
             R"("vendor":"[^"]*","kind":"[^"]*","evidence":"[^"]*","user_name":"","user_kind":""\})"},
        {"the id is percent-decoded", "/api/devices/3c%3a22%3Afb%3a12%3a34%3a56", 200,
         R"(\{"id":"3c:22:fb:12:34:56","type":"device","signal_count":2,.*)"},
        {"an address node", "/api/devices/192.168.1.40", 200,
         R"(\{"id":"192\.168\.1\.40","type":"ip_address","signal_count":1,"last_seen":\d+,)"
         R"("activation":0\.0000,"neighbors":\[\{"name":"192\.168\.1\.30","type":"ip_address",)"
         R"("edge_type":"communicates_with","weight":0\.5000\},.*\],"recent_events":\[)"
         R"(\{"timestamp":\d+,"type":4,"data":"Dec  8 05:00:01 gw .*"\}\],"label":"",.*\})"},
        {"unknown", "/api/devices/nobody", 404, R"(\{"error":"not found"\})"},
        {"similar: by the address text", "/api/devices/3C:22:FB:12:34:56/similar", 200,
         R"(\{"device":"3C:22:FB:12:34:56","similar":\[\]\})"},
        {"similar: lower case finds the device too", "/api/devices/3c:22:fb:12:34:56/similar", 200,
         R"(\{"device":"3c:22:fb:12:34:56","similar":\[\]\})"},
        {"baseline: lower case finds the device too", "/api/devices/3c:22:fb:12:34:56/baseline",
         404, R"(\{"error":"no baseline data for device"\})"},
        {"baseline: none is learned", "/api/devices/3C:22:FB:12:34:56/baseline", 404,
         R"(\{"error":"no baseline data for device"\})"},
        {"activity of an address", "/api/devices/192.168.1.20/activity", 200,
         R"(\[\{"t":\d+0,"count":1\}\])"},
    };
    for (const Case& c : cases) {
        Reply r = get(c.target);
        EXPECT_EQ(r.status, c.status) << c.rule;
        EXPECT_TRUE(matches(r.body, c.pattern)) << c.rule << ": " << r.body;
        EXPECT_NE(r.head.find("Content-Type: application/json; charset=UTF-8"), std::string::npos)
            << c.rule;
    }
}

TEST_F(E2eApiRead, AlertsFromASevereCefRecord) {
    const std::string alert =
        R"(\{"id":1,"title":"[^"]+","description":"[^"]*","severity":"critical","status":"new",)"
        R"("surprise_score":0\.0000,"collision_wave_count":0,"source_mac":"00:00:00:00:00:00",)"
        R"("source_ip":"198\.51\.100\.10","dest_ip":"192\.168\.0\.233","created_at":\d+,)"
        R"("note":"","status_changed_at":0\})";
    struct Case {
        const char* rule;
        const char* target;
        int status;
        std::string pattern;
    };
    const Case cases[] = {
        {"the list", "/api/alerts", 200,
         R"(\{"alerts":\[)" + alert + R"(\],"total":1,"limit":50,"offset":0\})"},
        {"severity words are case-sensitive", "/api/alerts?severity=HIGH", 200,
         R"(\{"alerts":\[\],"total":0,"limit":50,"offset":0\})"},
        {"detail with the raw record from the ring", "/api/alerts/1", 200,
         R"(\{"id":1,"title":"[^"]+","description":"[^"]*","evidence":"[^"]*",)"
         R"("severity":"critical","status":"new","source_mac":"00:00:00:00:00:00",)"
         R"("source_ip":"198\.51\.100\.10","dest_ip":"192\.168\.0\.233","surprise_score":0\.0000,)"
         R"("collision_wave_count":0,"created_at":\d+,"related_events":\[\{"timestamp":\d+,)"
         R"("type":1,"source_ip":"127\.0\.0\.1","data":"<134>Dec  8 05:00:02 gw CEF:0.*"\}\],)"
         R"("event_source":"buffer","note":"","status_changed_at":0\})"},
        {"an id never issued", "/api/alerts/2", 404, R"(\{"error":"not found"\})"},
        {"an id that is not a number", "/api/alerts/one", 404, R"(\{"error":"not found"\})"},
        {"an extra segment has no route", "/api/alerts/1/x", 404, "Not Found"},
    };
    for (const Case& c : cases) {
        Reply r = get(c.target);
        EXPECT_EQ(r.status, c.status) << c.rule;
        EXPECT_TRUE(matches(r.body, c.pattern)) << c.rule << ": " << r.body;
    }
}

TEST_F(E2eApiRead, StatisticsGraphAndEventSearchAgree) {
    json graph = daemon_->getJson("/api/graph?limit=10000");
    ASSERT_TRUE(graph.is_object());
    u64 local_addresses = 0;
    for (const json& n : graph["nodes"])
        if (n["type"] == "ip_address" && isLocalName(n["name"].get<std::string>()))
            ++local_addresses;
    EXPECT_EQ(graph["nodes"].size(), graph["total_nodes"].get<size_t>());
    EXPECT_EQ(graph["edges"].size(), graph["total_edges"].get<size_t>());

    const std::string stats = get("/api/stats").body;
    EXPECT_TRUE(matches(
        stats, R"(\{"devices":)" + std::to_string(1 + local_addresses) +
                   R"(,"alerts":1,"events_processed":3,"anomalies":0,"graph_nodes":)" +
                   std::to_string(graph["total_nodes"].get<u64>()) + R"(,"graph_edges":)" +
                   std::to_string(graph["total_edges"].get<u64>()) +
                   R"(,"events_per_second":\d+\.\d,"events_dropped":0,"stream_connections":0,)"
                   R"("stream_refused":0\})"))
        << stats;
    EXPECT_TRUE(matches(get("/api/graph?limit=0").body,
                        R"(\{"nodes":\[\],"edges":\[\],"total_nodes":\d+,"total_edges":\d+\})"));
    EXPECT_TRUE(matches(get("/api/stats/history").body,
                        R"(\[\{"t":\d+,"eps":\d+\.\d,"events":\d+,"devices":\d+,"alerts":\d+,)"
                        R"("anomalies":0,"nodes":\d+,"edges":\d+\}(,\{.*\})?\])"));

    struct Case {
        const char* rule;
        const char* target;
        std::string pattern;
    };
    const Case cases[] = {
        {"a full page reports offset + limit", "/api/events/search?limit=2",
         R"(\{"events":\[\{"timestamp":\d+,"type":1,"source_ip":"127\.0\.0\.1","data":"<134>.*"\},)"
         R"(\{"timestamp":\d+,"type":4,.*\}\],"total":2,"limit":2,"offset":0\})"},
        {"by type", "/api/events/search?type=2",
         R"(\{"events":\[\{"timestamp":\d+,"type":2,"source_ip":"127\.0\.0\.1",)"
         R"("data":"<30>Dec  8 .*"\}\],"total":1,"limit":50,"offset":0\})"},
    };
    for (const Case& c : cases) {
        std::string body = get(c.target).body;
        EXPECT_TRUE(matches(body, c.pattern)) << c.rule << ": " << body;
    }
}

// Replays the sample logs and checks that every endpoint answers whole JSON
// that agrees with the counters: no event lost, every listed alert and
// device can be opened.
TEST(E2eApiCorpus, ReplayedSampleLogsReadBackConsistently) {
    std::string dir = corpusDir();
    if (dir.empty()) GTEST_SKIP() << "no sample logs on this machine";
    LiveDaemon d;
    ASSERT_TRUE(d.ready());
    u64 sent = 0;
    for (const char* f : {"cef.log", "dhcp-dnsmasq.log", "dhcp-iscdhcpd.log", "dns-bind.log",
                          "dns-dnsmasq.log", "firewall-iptables.log", "firewall-pfsense.log",
                          "syslog-rfc3164-nopri.log", "syslog-rfc3164.log", "syslog-rfc5424.log"}) {
        std::ifstream in(dir + "/" + f);
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty()) continue;
            d.send(line);
            if (++sent % 50 == 0) {
                ASSERT_TRUE(d.waitProcessed(sent)) << "at line " << sent;
            }
        }
    }
    ASSERT_GT(sent, 100u);
    ASSERT_TRUE(d.waitProcessed(sent));
    json stats = d.getJson("/api/stats");
    EXPECT_EQ(stats["events_processed"].get<u64>(), sent);

    // Every event is in the ring, under exactly one type.
    u64 by_type = 0;
    for (int type = 0; type <= 5; ++type) {
        for (u64 offset = 0;; offset += 500) {
            json page = d.getJson("/api/events/search?limit=500&type=" + std::to_string(type) +
                                  "&offset=" + std::to_string(offset));
            by_type += page["events"].size();
            if (page["events"].size() < 500) break;
        }
    }
    EXPECT_EQ(by_type, sent);

    json alerts = d.getJson("/api/alerts?limit=500");
    EXPECT_EQ(alerts["total"], stats["alerts"]);
    for (const json& a : alerts["alerts"]) {
        json one = d.getJson("/api/alerts/" + std::to_string(a["id"].get<u64>()));
        EXPECT_EQ(one["id"], a["id"]);
        EXPECT_EQ(one["title"], a["title"]);
        EXPECT_EQ(one["event_source"], one["related_events"].empty() ? "none" : "buffer");
    }

    // The device list partitions into active and inactive; every device can
    // be opened by its address text.
    u64 fingerprinted = 0;
    for (const char* status : {"active", "inactive"}) {
        json list = d.getJson(std::string("/api/devices?limit=500&status=") + status);
        ASSERT_TRUE(list.is_object());
        for (const json& e : list["devices"]) {
            if (e["type"] != "fingerprinted") continue;
            ++fingerprinted;
            Reply r = d.get("/api/devices/" + e["mac"].get<std::string>());
            EXPECT_EQ(r.status, 200) << e;
            EXPECT_TRUE(json::parse(r.body, nullptr, false).is_object()) << r.body;
            int similar = d.get("/api/devices/" + e["mac"].get<std::string>() + "/similar").status;
            EXPECT_EQ(similar, 200) << e;
        }
    }
    json graph = d.getJson("/api/graph?limit=10000");
    u64 local_addresses = 0;
    for (const json& n : graph["nodes"])
        if (n["type"] == "ip_address" && isLocalName(n["name"].get<std::string>()))
            ++local_addresses;
    if (graph["nodes"].size() == graph["total_nodes"].get<size_t>()) {
        EXPECT_EQ(stats["devices"].get<u64>(), fingerprinted + local_addresses);
    }
    EXPECT_EQ(graph["total_nodes"], stats["graph_nodes"]);
    EXPECT_EQ(graph["total_edges"], stats["graph_edges"]);
}

}  // namespace
}  // namespace tarvex::test
