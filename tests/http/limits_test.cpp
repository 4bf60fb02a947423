// The engine's protective limits over real sockets: request-head and idle
// time-outs (shortened here), the per-address connection limit, silent
// WebSockets and HTTP/0.9 request lines.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "http/message.h"
#include "http/server.h"
#include "support/http_client.h"
#include "support/test_server.h"

namespace tarvex::test {
namespace {

constexpr std::string_view kHealthGet = "GET /api/health HTTP/1.1\r\nHost: x\r\n\r\n";

HttpServerOptions shortTimeouts() {
    HttpServerOptions o;
    o.head_timeout_ms = 300;
    o.idle_timeout_ms = 800;
    return o;
}

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

TEST(HttpLimits, IncompleteHeadIsAnswered408AndClosedAfterTheHeadTimeout) {
    TestServer srv(nullptr, shortTimeouts());
    ASSERT_TRUE(srv.start());
    u64 before = httpRefusals().head_timeout.load();
    const struct {
        std::string sent;
        std::string reply;
        const char* rule;
    } cases[] = {
        {"GET /api/health HTTP/1.1\r\nHost: x\r\n", std::string(kReplyTimeout), "head cut short"},
        {"", "", "a connection that never sends is closed without a reply"},
        {"POST /api/cases HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", std::string(kReplyTimeout),
         "a body that stops arriving"},
    };
    for (const auto& k : cases) {
        RawConn c(srv.port());
        auto t0 = Clock::now();
        if (!k.sent.empty()) {
            ASSERT_TRUE(c.send(k.sent));
        }
        EXPECT_TRUE(c.silentFor(150)) << k.rule << ": not before the time-out";
        EXPECT_EQ(c.recvAll(3000), k.reply) << k.rule;
        EXPECT_FALSE(c.timedOut()) << k.rule << ": the connection is closed";
        EXPECT_LT(msSince(t0), 2500) << k.rule;
    }
    EXPECT_EQ(httpRefusals().head_timeout.load() - before, 3u);

    // A head that trickles in but completes in time is served.
    RawConn c(srv.port());
    for (char ch : kHealthGet.substr(0, 20)) {
        ASSERT_TRUE(c.send(std::string(1, ch)));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(c.send(kHealthGet.substr(20)));
    EXPECT_NE(c.readResponse(2000).find("\"ok\""), std::string::npos);
}

TEST(HttpLimits, IdleKeepAliveOutlivesTheHeadTimeoutAndIsClosedAfterTheIdleTimeout) {
    TestServer srv(nullptr, shortTimeouts());
    ASSERT_TRUE(srv.start());
    RawConn c(srv.port());
    ASSERT_TRUE(c.send(kHealthGet));
    ASSERT_NE(c.readResponse().find("\"ok\""), std::string::npos);
    auto t0 = Clock::now();
    // Idle past the head time-out: still open and usable.
    EXPECT_TRUE(c.silentFor(450));
    ASSERT_TRUE(c.send(kHealthGet));
    ASSERT_NE(c.readResponse().find("\"ok\""), std::string::npos);
    t0 = Clock::now();
    EXPECT_TRUE(c.peerClosed(3000)) << "closed once idle for the idle time-out";
    long waited = msSince(t0);
    EXPECT_GE(waited, 700);
    EXPECT_LT(waited, 2500);
}

TEST(HttpLimits, OneAddressCannotTakeTheConnectionsOfOthers) {
    if (raiseOpenFiles(4096) < 2400) GTEST_SKIP() << "needs more file descriptors";
    TestServer srv;
    ASSERT_TRUE(srv.start());
    u64 before = httpRefusals().per_address.load();
    // 1100 idle connections from 127.0.0.3, bounded in count and time.
    std::vector<std::unique_ptr<RawConn>> hog;
    for (int i = 0; i < 1100; ++i) hog.push_back(std::make_unique<RawConn>(srv.port(), 3));
    // Meanwhile another address is always served.
    int answered = 0;
    for (int i = 0; i < 20; ++i) {
        RawConn c(srv.port(), 4);
        if (c.send(kHealthGet) && c.readResponse(2000).find("\"ok\"") != std::string::npos)
            ++answered;
    }
    EXPECT_EQ(answered, 20);
    size_t open = 0;
    for (auto& h : hog)
        if (!h->peerClosed(open >= kMaxConnsPerAddress ? 200 : 20)) ++open;
    EXPECT_EQ(open, kMaxConnsPerAddress) << "exactly the allowance of one address stays open";
    EXPECT_EQ(httpRefusals().per_address.load() - before, 1100u - kMaxConnsPerAddress);
    hog.clear();
    // Once they are gone the address gets its allowance again.
    std::vector<std::unique_ptr<RawConn>> again;
    bool all = false;
    for (int round = 0; round < 100 && !all; ++round) {
        again.clear();
        for (size_t i = 0; i < kMaxConnsPerAddress; ++i)
            again.push_back(std::make_unique<RawConn>(srv.port(), 3));
        all = true;
        for (auto& c : again)
            if (!c->send(kHealthGet) || c->readResponse(2000).find("\"ok\"") == std::string::npos)
                all = false;
        if (!all) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(all) << "the per-address count goes down as connections close";
}

TEST(HttpLimits, SilentWebSocketIsPingedThenClosed) {
    TestServer srv(nullptr, shortTimeouts());
    ASSERT_TRUE(srv.start());
    RawConn quiet(srv.port());
    RawConn lively(srv.port());
    for (RawConn* c : {&quiet, &lively}) {
        ASSERT_TRUE(c->send(wsUpgradeRequest()));
        ASSERT_EQ(c->recvN(kWsUpgradeReply.size()), kWsUpgradeReply);
        ASSERT_EQ(wsReadFrame(*c).payload, "{\"type\":\"connected\"}");
    }
    WsMessage ping = wsReadFrame(quiet, 2000);
    EXPECT_EQ(ping.opcode, 0x9) << "pinged after half the idle time";
    WsMessage lping = wsReadFrame(lively, 2000);
    ASSERT_EQ(lping.opcode, 0x9);
    ASSERT_TRUE(lively.send(wsClientFrame(0xA, lping.payload)));  // pong
    WsMessage close = wsReadFrame(quiet, 2000);
    EXPECT_EQ(close.opcode, 0x8);
    EXPECT_EQ(close.payload, std::string("\x03\xE9", 2)) << "1001 going away";
    EXPECT_TRUE(quiet.peerClosed());
    // The one that answered is still served.
    ASSERT_TRUE(lively.send(wsClientFrame(0x1, "ping")));
    // On a slow machine the next ping may come first: answer it and read on.
    WsMessage pong = wsReadFrame(lively, 2000);
    for (int i = 0; i < 5 && pong.ok && pong.opcode == 0x9; ++i) {
        ASSERT_TRUE(lively.send(wsClientFrame(0xA, pong.payload)));
        pong = wsReadFrame(lively, 2000);
    }
    EXPECT_EQ(pong.opcode, 0x1);
    EXPECT_EQ(pong.payload, "{\"type\":\"pong\"}");
}

TEST(HttpLimits, RequestLinesWithoutAVersionAreRefusedAtOnce) {
    TestServer srv;
    ASSERT_TRUE(srv.start());
    for (std::string_view line : {"GET /\r\n", "GET /api/health\r\n", "GET  HTTP/1.1\r\n"}) {
        RawConn c(srv.port());
        auto t0 = Clock::now();
        ASSERT_TRUE(c.send(line));
        EXPECT_EQ(c.recvAll(3000), kReplyBadRequest) << line;
        EXPECT_FALSE(c.timedOut()) << line;
        EXPECT_LT(msSince(t0), 1000) << line << ": without waiting for more";
    }
}

}  // namespace
}  // namespace tarvex::test
