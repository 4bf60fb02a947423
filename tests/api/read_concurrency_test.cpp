// Many HTTP clients read every device, graph, alert, event and statistics
// endpoint while one thread feeds events through the pipeline (run under
// ThreadSanitizer as part of the concurrency suite).
#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "support/api_call.h"
#include "support/http_client.h"
#include "support/log_capture.h"
#include "support/test_server.h"

namespace tarvex::test {
namespace {

// A varied stream: DHCP leases, firewall drops, severe CEF records (alerts),
// DNS queries.
std::string eventLine(int k) {
    char buf[400];
    switch (k % 4) {
        case 0:
            std::snprintf(buf, sizeof buf,
                          "<30>Jan  1 00:00:00 gw dnsmasq-dhcp[1]: DHCPACK(br0) 192.168.1.%d "
                          "00:11:22:33:%02x:01 host%d",
                          k % 200, (k / 4) % 64, k % 50);
            break;
        case 1:
            std::snprintf(buf, sizeof buf,
                          "Jan  1 00:00:00 gw [LAN_IN-D-1] IN=br0 OUT=eth8 SRC=192.168.1.%d "
                          "DST=192.168.1.%d LEN=60 PROTO=TCP SPT=40000 DPT=22",
                          k % 200, (k + 7) % 200);
            break;
        case 2:
            std::snprintf(buf, sizeof buf,
                          "CEF:0|Ubiquiti|UniFi Network|10.0|201|Threat Detected|8|proto=TCP "
                          "src=10.0.%d.%d dst=192.168.0.233 dpt=443 UNIFIcategory=Security",
                          k % 16, k % 250);
            break;
        default:
            std::snprintf(buf, sizeof buf,
                          "Jan  1 00:00:00 dnsmasq[1]: query[A] host%d.example.com from "
                          "192.168.1.%d",
                          k % 300, k % 200);
            break;
    }
    return buf;
}

std::string getBody(RawConn& c, const std::string& path, int* status) {
    *status = 0;
    if (!c.send("GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n")) return {};
    std::string reply = c.readResponse();
    if (reply.size() < 12) return {};
    *status = std::stoi(reply.substr(9, 3));
    size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : reply.substr(body + 4);
}

TEST(ApiReadConcurrency, ClientsReadEveryEndpointWhileEventsArrive) {
    LogCapture quiet;
    PipelineRig rig;
    PipelineRig::now = wallSeconds();
    ServerState st = stateOf(rig);
    TestServer srv(&st);
    ASSERT_TRUE(srv.start());

    constexpr int kEvents = 4000;
    constexpr int kChunk = 100;
    std::atomic<bool> fed{false};
    std::atomic<int> replies{0};
    std::thread feeder([&] {
        // Feed in chunks, and let the readers answer a few requests between
        // chunks, so reads and writes interleave throughout.
        for (int k = 0; k < kEvents; ++k) {
            rig.send(eventLine(k), "192.168.1.1");
            if ((k + 1) % kChunk != 0) continue;
            const int target = replies.load() + 6;
            const i64 give_up = monoNanos() + 5'000'000'000;  // readers stuck: go on
            while (replies.load() < target && monoNanos() < give_up) std::this_thread::yield();
        }
        fed.store(true);
    });

    const std::vector<std::string> paths = {
        "/api/devices?status=active",
        "/api/devices?status=inactive&limit=500",
        "/api/devices/192.168.1.5",
        "/api/devices/00:11:22:33:01:01",
        "/api/devices/00:11:22:33:02:01/activity",
        "/api/devices/00:11:22:33:03:01/similar",
        "/api/devices/00:11:22:33:03:01/baseline",
        "/api/graph?limit=10000",
        "/api/alerts?severity=critical,high&limit=500",
        "/api/alerts/1",
        "/api/stats",
        "/api/stats/history",
        "/api/events/search?q=192.168.1&limit=500",
    };
    std::atomic<int> bad{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 6; ++t) {
        clients.emplace_back([&, t] {
            RawConn c(srv.port());
            u64 last_events = 0;
            for (size_t round = 0; !fed.load() || round < 2 * paths.size(); ++round) {
                const std::string& path = paths[(round + static_cast<size_t>(t)) % paths.size()];
                int status = 0;
                std::string body = getBody(c, path, &status);
                replies.fetch_add(1);
                // Every answer is whole JSON; lookups of things not yet
                // seen may be 404, nothing else fails.
                auto doc = nlohmann::json::parse(body, nullptr, false);
                if (doc.is_discarded() || (status != 200 && status != 404)) {
                    bad.fetch_add(1);
                    ADD_FAILURE() << path << " -> " << status << " " << body.substr(0, 200);
                    continue;
                }
                if (path == "/api/stats") {
                    // Counters never go backwards between two reads.
                    u64 events = doc["events_processed"].get<u64>();
                    if (events < last_events) bad.fetch_add(1);
                    last_events = events;
                }
            }
        });
    }
    feeder.join();
    for (auto& th : clients) th.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GE(replies.load(), 6 * kEvents / kChunk);

    // No event was lost: all are counted and every one is still in the ring.
    RawConn c(srv.port());
    int status = 0;
    auto stats = nlohmann::json::parse(getBody(c, "/api/stats", &status));
    EXPECT_EQ(stats["events_processed"].get<u64>(), static_cast<u64>(kEvents));
    u64 in_ring = 0;
    for (int offset = 0;; offset += 500) {
        auto page = nlohmann::json::parse(
            getBody(c, "/api/events/search?limit=500&offset=" + std::to_string(offset), &status));
        in_ring += page["events"].size();
        if (page["events"].size() < 500) break;
    }
    EXPECT_EQ(in_ring, static_cast<u64>(kEvents));
    auto alerts = nlohmann::json::parse(getBody(c, "/api/alerts?limit=1", &status));
    EXPECT_EQ(alerts["total"].get<u64>(), stats["alerts"].get<u64>());
    EXPECT_GE(alerts["total"].get<u64>(), static_cast<u64>(kEvents / 4));
    srv.stop();
}

}  // namespace
}  // namespace tarvex::test
