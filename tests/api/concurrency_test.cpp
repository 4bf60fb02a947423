// Races between the publishing thread, the event loop and the handler pool
// (run under ThreadSanitizer with the other concurrency tests).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "api/ws.h"
#include "support/http_client.h"
#include "support/log_capture.h"
#include "support/test_server.h"

namespace tarvex::test {
namespace {

TEST(FeedConcurrency, BroadcastWhileClientsConnectAndDisconnect) {
    LogCapture logs;  // keeps the connect/disconnect lines off the test output
    TestServer srv;
    ASSERT_TRUE(srv.start());
    std::atomic<bool> done{false};
    std::atomic<long> sent{0};
    CountersSnapshot stats{};
    stats.devices = 1;
    stats.alerts = 2;
    stats.events_processed = 3;
    stats.events_per_second = 4.0f;
    stats.anomalies = 5;
    stats.graph_nodes = 6;
    stats.graph_edges = 7;
    std::thread publisher([&] {
        LiveFeed feed = wsLiveFeed();
        u32 id = 0;
        while (!done.load()) {
            if (liveFeedListening(&feed)) {
                publishAlert(&feed, ++id, "title", "high");
                broadcastStats(stats);
                sent.fetch_add(2);
            }
            std::this_thread::yield();
        }
    });
    std::atomic<int> welcomed{0};
    std::atomic<int> alerts_seen{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; ++t) {
        clients.emplace_back([&, t] {
            for (int round = 0; round < 25; ++round) {
                RawConn c(srv.port());
                if (!c.send(wsUpgradeRequest())) continue;
                if (c.recvN(kWsUpgradeReply.size()) != kWsUpgradeReply) continue;
                WsMessage first = wsReadFrame(c);
                if (first.payload == "{\"type\":\"connected\"}") welcomed.fetch_add(1);
                // Read a few broadcasts, sometimes ping, then leave abruptly
                // or with a close frame.
                for (int i = 0; i < 4; ++i) {
                    WsMessage m = wsReadFrame(c, 2000);
                    if (!m.ok) break;
                    if (m.payload.find("\"alert\"") != std::string::npos) alerts_seen.fetch_add(1);
                }
                if ((round + t) % 3 == 0) c.send(wsClientFrame(0x1, "ping"));
                if ((round + t) % 2 == 0) c.send(wsClientFrame(0x8, ""));
            }
        });
    }
    for (auto& th : clients) th.join();
    done.store(true);
    publisher.join();
    EXPECT_EQ(welcomed.load(), 100) << "every client was welcomed";
    EXPECT_GT(alerts_seen.load(), 0);
    EXPECT_GT(sent.load(), 0);
    srv.stop();
    EXPECT_EQ(feedClientCount(), 0u);
}

TEST(HttpConcurrency, ParallelKeepAliveAndPipelinedClients) {
    TestServer srv;
    ASSERT_TRUE(srv.start());
    const std::string reply =
        "HTTP/1.1 200 \r\nContent-Type: application/json; charset=UTF-8\r\nContent-Length: "
        "33\r\n\r\n{\"status\":\"ok\",\"version\":\"0.1.0\"}";
    const std::string request = "GET /api/health HTTP/1.1\r\nHost: x\r\n\r\n";
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            RawConn c(srv.port());
            for (int i = 0; i < 100; ++i) {
                int batch = (t % 2) ? 3 : 1;  // odd threads pipeline three at a time
                std::string out;
                for (int k = 0; k < batch; ++k) out += request;
                if (!c.send(out)) return;
                for (int k = 0; k < batch; ++k)
                    if (c.recvN(reply.size()) == reply) good.fetch_add(1);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(good.load(), 4 * 100 + 4 * 300);
}

}  // namespace
}  // namespace tarvex::test
