// End to end: GET /metrics is well-formed Prometheus text whose readings
// agree with GET /api/stats.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>

#include "support/daemon.h"
#include "support/http_call.h"
#include "support/udp_sender.h"

namespace tarvex::test {
namespace {

struct Exposition {
    std::map<std::string, std::string> types;  // family -> counter / gauge
    std::map<std::string, double> samples;     // name{labels} -> value
    std::string error;                         // the first line that does not parse
};

// Reads the text format: "# HELP name text", "# TYPE name type" before each
// family's samples, and "name{label="value"} number" sample lines.
Exposition parseExposition(const std::string& text) {
    Exposition e;
    static const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) .+)");
    static const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge))");
    static const std::regex sample(
        R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[a-zA-Z_][a-zA-Z0-9_]*="[^"\\]*"\})? (-?[0-9]+(\.[0-9]+)?))");
    std::set<std::string> helped;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            e.error = "no newline after the last line";
            return e;
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        std::smatch m;
        if (std::regex_match(line, m, help)) {
            helped.insert(m[1]);
        } else if (std::regex_match(line, m, type)) {
            if (!helped.count(m[1]) || e.types.count(m[1])) {
                e.error = line;
                return e;
            }
            e.types[m[1]] = m[2];
        } else if (std::regex_match(line, m, sample) && e.types.count(m[1])) {
            e.samples[std::string(m[1]) + std::string(m[2])] = std::stod(m[3]);
        } else {
            e.error = line;
            return e;
        }
    }
    return e;
}

TEST(E2eMetrics, PrometheusTextThatAgreesWithTheStatistics) {
    const int http = freePort(SOCK_STREAM);
    const int udp = freePort(SOCK_DGRAM);
    Daemon d({}, {{"PORT", std::to_string(http)},
                  {"SYSLOG_PORT", std::to_string(udp)},
                  {"HOST", "127.0.0.1"}});
    ASSERT_TRUE(waitForApi(http));
    UdpSender s(udp);
    for (int i = 0; i < 40; ++i)
        s.send("<13>Oct 11 22:14:15 host app: hello from 192.168.1." + std::to_string(i + 2));
    s.send("dnsmasq-dhcp[1]: DHCPACK(br0) 192.168.1.20 aa:bb:cc:dd:ee:ff phone");
    s.send("CEF:0|Ubiquiti|UniFi|1|1|Threat|9|src=10.0.0.5 dst=192.168.1.20 msg=bad");
    s.send("CEF:0|Ubiquiti|UniFi|1|1|Scan|6|src=10.0.0.6 msg=scan");
    ASSERT_TRUE(d.waitForLine("CEF high-severity alert created: id=2"));

    RawConn c(http);
    HttpReply stats_reply = call(c, "GET", "/api/stats");
    HttpReply reply = call(c, "GET", "/metrics");
    ASSERT_EQ(reply.status, 200);
    EXPECT_NE(reply.head.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
    const Exposition e = parseExposition(reply.body);
    ASSERT_EQ(e.error, "") << reply.body;
    for (const auto& [family, type] : e.types) {
        EXPECT_EQ(type == "counter", family.ends_with("_total")) << family;
        EXPECT_TRUE(family.starts_with("tarvex_")) << family;
    }

    const nlohmann::json stats = nlohmann::json::parse(stats_reply.body);
    auto at = [&](const std::string& key) {
        auto it = e.samples.find(key);
        EXPECT_NE(it, e.samples.end()) << key;
        return it == e.samples.end() ? -1.0 : it->second;
    };
    EXPECT_EQ(at("tarvex_events_processed_total"), stats["events_processed"].get<double>());
    EXPECT_EQ(at("tarvex_events_processed_total"), 43);
    EXPECT_EQ(at("tarvex_events_dropped_total{reason=\"kernel\"}"),
              stats["events_dropped"].get<double>());
    EXPECT_EQ(at("tarvex_devices"), stats["devices"].get<double>());
    EXPECT_EQ(at("tarvex_graph_nodes"), stats["graph_nodes"].get<double>());
    EXPECT_EQ(at("tarvex_graph_edges"), stats["graph_edges"].get<double>());
    double alerts = 0;
    for (const char* sev : {"info", "low", "medium", "high", "critical"})
        alerts += at(std::string("tarvex_alerts{severity=\"") + sev + "\"}");
    EXPECT_EQ(alerts, stats["alerts"].get<double>());
    EXPECT_EQ(at("tarvex_alerts{severity=\"critical\"}"), 1);
    EXPECT_EQ(at("tarvex_alerts{severity=\"high\"}"), 1);
    EXPECT_EQ(at("tarvex_events_total{type=\"syslog_event\"}"), 40);
    EXPECT_EQ(at("tarvex_events_total{type=\"dhcp_event\"}"), 1);
    EXPECT_EQ(at("tarvex_events_total{type=\"cef\"}"), 2);
    EXPECT_EQ(at("tarvex_database_configured"), 0);
    EXPECT_EQ(at("tarvex_websocket_clients"), 0);
    // The health checks of waitForApi and the statistics request so far.
    EXPECT_GE(at("tarvex_http_requests_total{code=\"200\"}"), 2);

    call(c, "GET", "/api/nothing-here");
    const Exposition after = parseExposition(call(c, "GET", "/metrics").body);
    EXPECT_EQ(after.samples.at("tarvex_http_requests_total{code=\"404\"}"), 1);
}

}  // namespace
}  // namespace tarvex::test
