// The live feed over real WebSocket connections: handshake, welcome,
// ping/pong, fragments, the client limit, stalled clients and messages.
#include "api/ws.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "support/http_client.h"
#include "support/log_capture.h"
#include "support/test_server.h"

namespace tarvex::test {
namespace {

constexpr std::string_view kWelcome = "{\"type\":\"connected\"}";
constexpr std::string_view kPong = "{\"type\":\"pong\"}";

bool waitFor(const std::function<bool()>& cond, int timeout_ms = 5000) {
    for (int i = 0; i < timeout_ms / 5; ++i) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

// Connects, upgrades and reads the welcome message.
std::unique_ptr<RawConn> feedClient(int port) {
    auto c = std::make_unique<RawConn>(port);
    if (!c->ok() || !c->send(wsUpgradeRequest())) return nullptr;
    if (c->recvN(kWsUpgradeReply.size()) != kWsUpgradeReply) return nullptr;
    WsMessage m = wsReadFrame(*c);
    if (!m.ok || m.opcode != 0x1 || m.payload != kWelcome) return nullptr;
    return c;
}

class WsFeedTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(feedClientCount(), 0u);
        ASSERT_TRUE(srv.start());
    }
    void TearDown() override {
        srv.stop();
        EXPECT_EQ(feedClientCount(), 0u) << "stopping the server unregisters every client";
    }
    LogCapture logs;
    TestServer srv;
    int stalled_fd = -1;
};

TEST_F(WsFeedTest, HandshakeWelcomeAndPingPong) {
    RawConn c(srv.port());
    ASSERT_TRUE(c.send(wsUpgradeRequest()));
    EXPECT_EQ(c.recvN(kWsUpgradeReply.size()), kWsUpgradeReply);
    WsMessage welcome = wsReadFrame(c);
    EXPECT_TRUE(welcome.fin);
    EXPECT_EQ(welcome.opcode, 0x1);
    EXPECT_EQ(welcome.payload, kWelcome);
    EXPECT_TRUE(waitFor(
        [&] { return logs.has("info(websocket): WebSocket client connected (total: 1)"); }));

    // Only the exact text "ping" is answered.
    c.send(wsClientFrame(0x1, "PING"));
    c.send(wsClientFrame(0x1, "ping\n"));
    c.send(wsClientFrame(0x2, "pong"));
    c.send(wsClientFrame(0x1, "ping"));
    WsMessage pong = wsReadFrame(c);
    EXPECT_EQ(pong.opcode, 0x1);
    EXPECT_EQ(pong.payload, kPong);
    EXPECT_TRUE(c.silentFor(50)) << "the other messages got no answer";

    // A fragmented "ping" with a protocol ping between its fragments.
    c.send(wsClientFrame(0x1, "pi", false));
    c.send(wsClientFrame(0x9, "hb"));
    c.send(wsClientFrame(0x0, "ng", true));
    WsMessage proto_pong = wsReadFrame(c);
    EXPECT_EQ(proto_pong.opcode, 0xA) << "protocol ping answered with pong";
    EXPECT_EQ(proto_pong.payload, "hb") << "carrying the same payload";
    WsMessage frag_pong = wsReadFrame(c);
    EXPECT_EQ(frag_pong.opcode, 0x1);
    EXPECT_EQ(frag_pong.payload, kPong) << "fragments reassembled into one message";

    // Close: echoed with the client's code, then the connection ends.
    c.send(wsClientFrame(0x8, std::string("\x03\xE8", 2)));
    WsMessage close = wsReadFrame(c);
    EXPECT_EQ(close.opcode, 0x8);
    EXPECT_EQ(close.payload, std::string("\x03\xE8", 2));
    EXPECT_TRUE(c.peerClosed());
    EXPECT_TRUE(waitFor(
        [&] { return logs.has("info(websocket): WebSocket client disconnected (total: 0)"); }));
}

TEST_F(WsFeedTest, UpgradeChecks) {
    const std::string_view bad =
        "HTTP/1.1 400 \r\nContent-Type: application/json; charset=UTF-8\r\nContent-Length: "
        "45\r\n\r\n{\"error\":\"invalid websocket upgrade request\"}";
    const struct {
        const char* headers;
        bool accepted;
        const char* rule;
    } cases[] = {
        {"Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: "
         "dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n",
         true, "complete request"},
        {"Upgrade: WebSocket\r\nConnection: keep-alive, Upgrade\r\nSec-WebSocket-Key: "
         "dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n",
         true, "upgrade among connection tokens, any case"},
        {"Connection: Upgrade\r\nSec-WebSocket-Key: k\r\nSec-WebSocket-Version: 13\r\n", false,
         "no Upgrade header"},
        {"Upgrade: websockets\r\nConnection: Upgrade\r\nSec-WebSocket-Key: "
         "k\r\nSec-WebSocket-Version: 13\r\n",
         false, "Upgrade not exactly websocket"},
        {"Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: "
         "k\r\nSec-WebSocket-Version: 8\r\n",
         false, "version 8"},
        {"Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n", false,
         "no key"},
        {"Upgrade: websocket\r\nConnection: keep-alive\r\nSec-WebSocket-Key: "
         "k\r\nSec-WebSocket-Version: 13\r\n",
         false, "connection without upgrade"},
        {"Upgrade: websocket\r\nConnection: Upgr\r\nSec-WebSocket-Key: "
         "k\r\nSec-WebSocket-Version: 13\r\n",
         false, "connection value of 6 characters or fewer"},
    };
    for (const auto& k : cases) {
        RawConn c(srv.port());
        c.send(std::string("GET /api/ws HTTP/1.1\r\nHost: x\r\n") + k.headers + "\r\n");
        if (k.accepted) {
            EXPECT_EQ(c.recvN(kWsUpgradeReply.size()), kWsUpgradeReply) << k.rule;
            EXPECT_EQ(wsReadFrame(c).payload, kWelcome) << k.rule;
        } else {
            EXPECT_EQ(c.readResponse(), bad) << k.rule;
            c.send("GET /api/health HTTP/1.1\r\n\r\n");
            EXPECT_NE(c.readResponse().find("\"ok\""), std::string::npos)
                << k.rule << ": the connection stays an HTTP connection";
        }
    }
}

TEST_F(WsFeedTest, SixtyFifthClientRejectedUntilOneLeaves) {
    std::vector<std::unique_ptr<RawConn>> clients;
    for (u32 i = 0; i < kMaxFeedClients; ++i) {
        clients.push_back(feedClient(srv.port()));
        ASSERT_TRUE(clients.back()) << "client " << i;
    }
    EXPECT_EQ(feedClientCount(), 64u);

    // From another address: 64 feed clients are also one address's whole
    // connection allowance.
    RawConn extra(srv.port(), 2);
    extra.send(wsUpgradeRequest());
    EXPECT_EQ(extra.recvN(kWsUpgradeReply.size()), kWsUpgradeReply);
    WsMessage m = wsReadFrame(extra);
    EXPECT_EQ(m.opcode, 0x8) << "the rejected client gets a close frame, not the welcome";
    EXPECT_EQ(m.payload, std::string("\x03\xF5", 2)) << "status 1013, try again later";
    EXPECT_TRUE(extra.peerClosed()) << "and does not stay connected";
    EXPECT_TRUE(
        logs.has("warning(websocket): WebSocket connection limit reached (64), rejecting client"));
    EXPECT_EQ(feedClientCount(), 64u);

    clients.front()->close();
    ASSERT_TRUE(waitFor([] { return feedClientCount() == 63; }));
    auto next = feedClient(srv.port());
    EXPECT_TRUE(next) << "a slot freed by a disconnect is taken by the next client";
    EXPECT_EQ(feedClientCount(), 64u);
}

TEST_F(WsFeedTest, StalledClientIsDroppedWhileOthersReceive) {
    // The stalled client never reads, with a tiny receive window.
    {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        int small = 4096;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(srv.port()));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        std::string req = wsUpgradeRequest();
        ASSERT_EQ(::send(fd, req.data(), req.size(), 0), static_cast<ssize_t>(req.size()));
        stalled_fd = fd;
    }
    auto reader = feedClient(srv.port());
    ASSERT_TRUE(reader);
    ASSERT_TRUE(waitFor([] { return feedClientCount() == 2; }));

    const std::string message(1000, 'm');
    constexpr int kMessages = 8000;  // 8 MB: far past any socket buffer plus the backlog
    std::atomic<int> received{0};
    std::atomic<bool> reader_done{false};
    std::thread read_thread([&] {
        for (int i = 0; i < kMessages; ++i) {
            WsMessage m = wsReadFrame(*reader);
            if (!m.ok || m.payload != message) break;
            received.fetch_add(1);
        }
        reader_done.store(true);
    });
    for (int i = 0; i < kMessages; ++i) {
        broadcast(message);
        // Publish at a pace the reading client keeps up with.
        while (i - received.load() > 64 && !reader_done.load())
            std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    read_thread.join();
    EXPECT_EQ(received.load(), kMessages) << "the reading client got every message";
    EXPECT_EQ(feedClientCount(), 1u) << "the stalled client was dropped from the registry";

    // The stalled client's connection is closed by the server: draining it
    // ends in EOF.
    bool eof = false;
    for (;;) {
        pollfd p{stalled_fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) break;
        char buf[65536];
        ssize_t r = ::recv(stalled_fd, buf, sizeof buf, 0);
        if (r <= 0) {
            eof = true;
            break;
        }
    }
    EXPECT_TRUE(eof);
    ::close(stalled_fd);
}

TEST_F(WsFeedTest, AlertAndStatsMessagesReachEveryClient) {
    auto a = feedClient(srv.port());
    auto b = feedClient(srv.port());
    ASSERT_TRUE(a && b);
    LiveFeed feed = wsLiveFeed();
    EXPECT_TRUE(liveFeedListening(&feed));

    publishAlert(&feed, 7, "a\"b\\c\td\x01", "high");
    broadcastAlert(8, std::string(600, 't'), "low");  // over 512 bytes: dropped
    broadcastAlert(9, "caf\xC3\xA9 \xFF", "critical");
    CountersSnapshot s{};
    s.devices = 3;
    s.alerts = 2;
    s.events_processed = 50;
    s.events_per_second = 12.345;
    s.anomalies = 1;
    s.graph_nodes = 10;
    s.graph_edges = 20;
    broadcastStats(s);
    publishText(&feed, "{\"type\":\"custom\"}");

    const std::string expected[] = {
        "{\"type\":\"alert\",\"data\":{\"id\":7,\"title\":\"a\\\"b\\\\cd\",\"severity\":\"high\"}}",
        "{\"type\":\"alert\",\"data\":{\"id\":9,\"title\":\"caf\xC3\xA9 \xEF\xBF\xBD\","
        "\"severity\":\"critical\"}}",
        "{\"type\":\"stats\",\"data\":{\"devices\":3,\"alerts\":2,\"events_processed\":50,"
        "\"events_per_second\":12.3,\"anomalies\":1,\"graph_nodes\":10,\"graph_edges\":20}}",
        "{\"type\":\"custom\"}",
    };
    for (RawConn* c : {a.get(), b.get()}) {
        for (const std::string& e : expected) {
            WsMessage m = wsReadFrame(*c);
            EXPECT_EQ(m.opcode, 0x1);
            EXPECT_TRUE(m.fin) << "single unfragmented frames";
            EXPECT_EQ(m.payload, e);
        }
    }
}

TEST_F(WsFeedTest, ProtocolViolationsCloseTheConnection) {
    const struct {
        std::string frame;
        std::string close_code;
        const char* err;
        const char* rule;
    } cases[] = {
        {std::string("\x81\x04ping", 6), std::string("\x03\xEA", 2), "ProtocolError",
         "unmasked client frame"},
        {wsClientFrame(0x3, "x"), std::string("\x03\xEA", 2), "ProtocolError", "reserved opcode"},
        {wsClientFrame(0x0, "x"), std::string("\x03\xEA", 2), "ProtocolError",
         "continuation without a message"},
        {wsClientFrame(0x1, std::string(kMaxWsMessage + 1, 'x')), std::string("\x03\xF1", 2),
         "StreamTooLong", "message over 65536 bytes"},
        {wsClientFrame(0x1, std::string(40000, 'x'), false) +
             wsClientFrame(0x0, std::string(30000, 'x'), true),
         std::string("\x03\xF1", 2), "StreamTooLong", "fragments adding up past 65536 bytes"},
    };
    for (const auto& k : cases) {
        auto c = feedClient(srv.port());
        ASSERT_TRUE(c);
        logs.clear();
        c->send(k.frame);
        WsMessage m = wsReadFrame(*c);
        EXPECT_EQ(m.opcode, 0x8) << k.rule;
        EXPECT_EQ(m.payload, k.close_code) << k.rule;
        EXPECT_TRUE(c->peerClosed()) << k.rule;
        EXPECT_TRUE(logs.hasSubstring(std::string(") error reading from connection: ") + k.err))
            << k.rule;
        EXPECT_TRUE(waitFor([] { return feedClientCount() == 0; })) << k.rule;
    }
    // The largest message still passes.
    auto c = feedClient(srv.port());
    c->send(wsClientFrame(0x1, std::string(kMaxWsMessage, 'x')));
    c->send(wsClientFrame(0x1, "ping"));
    EXPECT_EQ(wsReadFrame(*c).payload, kPong);
}

}  // namespace
}  // namespace tarvex::test
