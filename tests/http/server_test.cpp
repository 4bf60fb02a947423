// The HTTP engine over real sockets: exact bytes of replies, routing,
// keep-alive, pipelining, bodies and the limits.
#include "http/server.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/http_client.h"
#include "support/log_capture.h"
#include "support/test_server.h"

namespace tarvex::test {
namespace {

constexpr std::string_view kHealthReply =
    "HTTP/1.1 200 \r\nContent-Type: application/json; charset=UTF-8\r\nContent-Length: "
    "33\r\n\r\n{\"status\":\"ok\",\"version\":\"0.1.0\"}";
constexpr std::string_view kNotFoundReply = "HTTP/1.1 404 \r\nContent-Length: 9\r\n\r\nNot Found";
bool waitUntil(const std::function<bool()>& cond) {
    for (int i = 0; i < 1000 && !cond(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return cond();
}

constexpr std::string_view kHealthGet = "GET /api/health HTTP/1.1\r\nHost: x\r\n\r\n";

Err echoBody(void*, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::text;
    res.writer().append(req.body);
    return Err::None;
}

Err failing(void*, HttpRequest&, HttpResponse& res) {
    res.content_type = ContentType::json;
    res.writer().append("{\"partial\":");
    return Err::OutOfMemory;
}

Err throwing(void*, HttpRequest&, HttpResponse&) {
    throw std::runtime_error("boom");
}

Err params(void*, HttpRequest& req, HttpResponse& res) {
    res.writer().append(req.param("a"));
    res.writer().append("|");
    res.writer().append(req.param("b"));
    return Err::None;
}

Err bigBody(void*, HttpRequest&, HttpResponse& res) {
    BodyWriter& w = res.writer();
    for (int i = 0; i < 4 * 1024 * 1024 / 64; ++i)
        w.append("0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcde\n");
    return Err::None;
}

std::atomic<bool> g_release{false};
std::atomic<int> g_blocked{0};

Err blocking(void*, HttpRequest&, HttpResponse& res) {
    g_blocked.fetch_add(1);
    while (!g_release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    res.setBody("done");
    return Err::None;
}

class HttpServerTest : public ::testing::Test {
  protected:
    ~HttpServerTest() override { g_release = true; }  // never leave a handler blocked
    void SetUp() override {
        srv.router().post("/echo", echoBody);
        srv.router().get("/fail", failing);
        srv.router().get("/throw", throwing);
        srv.router().get("/p/:a/x/:b", params);
        srv.router().get("/big", bigBody);
        srv.router().get("/block", blocking);
        ASSERT_TRUE(srv.start());
    }
    TestServer srv;
};

TEST_F(HttpServerTest, HealthExactBytesOverKeepAlive) {
    RawConn c(srv.port());
    ASSERT_TRUE(c.ok());
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(c.send(kHealthGet));
        EXPECT_EQ(c.recvN(kHealthReply.size()), kHealthReply) << "request " << i;
    }
    EXPECT_TRUE(c.silentFor(100)) << "connection stays open with nothing more to say";
}

TEST_F(HttpServerTest, FixedRepliesThenClose) {
    struct Case {
        std::string request;
        std::string_view reply;
        const char* rule;
    };
    const std::string big_header =
        "GET /api/health HTTP/1.1\r\nX-Fill: " + std::string(70000, 'a') + "\r\n\r\n";
    std::string many_headers = "GET /api/health HTTP/1.1\r\n";
    for (int i = 0; i < 65; ++i) many_headers += "X-H" + std::to_string(i) + ": v\r\n";
    many_headers += "\r\n";
    std::string big_chunked = "POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 17; ++i) big_chunked += "10000\r\n" + std::string(65536, 'b') + "\r\n";
    const Case cases[] = {
        {"garbage\r\n\r\n", kReplyBadRequest, "request line without target and version"},
        {"\x16\x03\x01\x02", kReplyBadRequest, "TLS hello on the plain port"},
        {"GET /api/health HTTP/2.0\r\n\r\n", kReplyBadRequest, "unsupported version"},
        {"GET /api/health HTTP/1.1\r\nBad Header: x\r\n\r\n", kReplyBadRequest,
         "space in header name"},
        {"GET /api/health HTTP/1.1\r\nX: a\r\n folded\r\n\r\n", kReplyBadRequest,
         "obsolete line folding"},
        {"POST /echo HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd",
         kReplyBadRequest, "conflicting lengths"},
        {"POST /echo HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n",
         kReplyBadRequest, "length and chunked together"},
        {"POST /echo HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", kReplyBadRequest,
         "unknown transfer coding"},
        {"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", kReplyBadRequest,
         "chunk size not hexadecimal"},
        {"POST /echo HTTP/1.1\r\nContent-Length: 1048577\r\n\r\n", kReplyBodyTooBig,
         "declared body one byte over 1 MiB, refused before it is sent"},
        {"POST /echo HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n", kReplyBodyTooBig,
         "absurd length"},
        {big_chunked, kReplyBodyTooBig, "chunked body over 1 MiB"},
        {big_header, kReplyHeaderTooBig, "header block over 64 KiB"},
        {many_headers, kReplyHeaderTooBig, "more than 64 header lines"},
    };
    for (const Case& k : cases) {
        RawConn c(srv.port());
        ASSERT_TRUE(c.ok());
        c.send(k.request);
        std::string got = c.recvAll();
        EXPECT_EQ(got, k.reply) << k.rule;
        EXPECT_FALSE(c.timedOut()) << k.rule << ": connection must be closed";
    }
}

TEST_F(HttpServerTest, NoRouteIsNotFoundAndKeepsConnection) {
    const struct {
        const char* request;
        const char* rule;
    } cases[] = {
        {"GET /api/health/extra HTTP/1.1\r\n\r\n", "extra trailing segment"},
        {"GET /api/health/ HTTP/1.1\r\n\r\n", "trailing slash"},
        {"GET /api HTTP/1.1\r\n\r\n", "prefix of a route"},
        {"GET /p/1/x HTTP/1.1\r\n\r\n", "parameter route missing a segment"},
        {"GET /p//x/2 HTTP/1.1\r\n\r\n", "empty parameter segment"},
        {"GET * HTTP/1.1\r\n\r\n", "asterisk form"},
    };
    RawConn c(srv.port());
    for (const auto& k : cases) {
        ASSERT_TRUE(c.send(k.request));
        EXPECT_EQ(c.recvN(kNotFoundReply.size()), kNotFoundReply) << k.rule;
    }
    ASSERT_TRUE(c.send(kHealthGet));
    EXPECT_EQ(c.recvN(kHealthReply.size()), kHealthReply);
}

TEST_F(HttpServerTest, OtherMethodsOnARoutedPathAre405WithAllow) {
    const std::string_view kNotAllowed =
        "HTTP/1.1 405 \r\nAllow: GET, HEAD\r\nContent-Length: 18\r\n\r\nMethod Not Allowed";
    const struct {
        const char* request;
        const char* rule;
    } cases[] = {
        {"POST /api/health HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "POST to a GET route"},
        {"DELETE /api/health HTTP/1.1\r\n\r\n", "method outside the table"},
        {"OPTIONS /api/health HTTP/1.1\r\nOrigin: http://x\r\n\r\n", "no preflight answer"},
        {"BREW /api/health HTTP/1.1\r\n\r\n", "unknown method"},
    };
    RawConn c(srv.port());
    for (const auto& k : cases) {
        ASSERT_TRUE(c.send(k.request));
        EXPECT_EQ(c.recvN(kNotAllowed.size()), kNotAllowed) << k.rule;
    }
    // HEAD is GET without the body: same status and Content-Length.
    ASSERT_TRUE(c.send("HEAD /api/health HTTP/1.1\r\n\r\n"));
    std::string head(kHealthReply.substr(0, kHealthReply.find("\r\n\r\n") + 4));
    EXPECT_EQ(c.recvN(head.size()), head);
    EXPECT_TRUE(c.silentFor(50)) << "no body follows a HEAD reply";
    ASSERT_TRUE(c.send(kHealthGet));
    EXPECT_EQ(c.recvN(kHealthReply.size()), kHealthReply) << "the connection stays usable";
}

TEST_F(HttpServerTest, PathParametersAreBound) {
    RawConn c(srv.port());
    c.send("GET /p/a%2Fb/x/42?q=1 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(c.readResponse(), "HTTP/1.1 200 \r\nContent-Length: 8\r\n\r\na%2Fb|42");
}

TEST_F(HttpServerTest, PipelinedRequestsAnsweredInOrder) {
    RawConn c(srv.port());
    std::string batch = std::string(kHealthGet) + "GET /nope HTTP/1.1\r\n\r\n" +
                        "POST /echo HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello" +
                        std::string(kHealthGet);
    ASSERT_TRUE(c.send(batch));
    std::string expected = std::string(kHealthReply) + std::string(kNotFoundReply) +
                           "HTTP/1.1 200 \r\nContent-Type: text/plain; charset=UTF-8\r\n"
                           "Content-Length: 5\r\n\r\nhello" +
                           std::string(kHealthReply);
    EXPECT_EQ(c.recvN(expected.size()), expected);
}

TEST_F(HttpServerTest, ConnectionHeaderDecidesKeepAlive) {
    const struct {
        const char* request;
        const char* reply;
        bool closes;
        const char* rule;
    } cases[] = {
        {"GET /nope HTTP/1.1\r\nConnection: close\r\n\r\n",
         "HTTP/1.1 404 \r\nConnection: close\r\nContent-Length: 9\r\n\r\nNot Found", true,
         "HTTP/1.1 asking to close"},
        {"GET /nope HTTP/1.0\r\n\r\n",
         "HTTP/1.1 404 \r\nConnection: close\r\nContent-Length: 9\r\n\r\nNot Found", true,
         "HTTP/1.0 closes by default"},
        {"GET /nope HTTP/1.0\r\nConnection: keep-alive\r\n\r\n",
         "HTTP/1.1 404 \r\nConnection: keep-alive\r\nContent-Length: 9\r\n\r\nNot Found", false,
         "HTTP/1.0 asking to keep alive"},
        {"GET /nope HTTP/1.1\r\nConnection: keep-alive, Close\r\n\r\n",
         "HTTP/1.1 404 \r\nConnection: close\r\nContent-Length: 9\r\n\r\nNot Found", true,
         "close token among others, any case"},
    };
    for (const auto& k : cases) {
        RawConn c(srv.port());
        c.send(k.request);
        std::string reply = k.reply;
        EXPECT_EQ(c.recvN(reply.size()), reply) << k.rule;
        if (k.closes) {
            EXPECT_TRUE(c.peerClosed()) << k.rule;
        } else {
            EXPECT_TRUE(c.silentFor(100)) << k.rule;
        }
    }
}

TEST_F(HttpServerTest, BodiesByLengthAndChunked) {
    const struct {
        std::vector<std::string> pieces;  // sent one after another
        std::string body;
        const char* rule;
    } cases[] = {
        {{"POST /echo HTTP/1.1\r\nContent-Length: 11\r\n\r\nhello world"},
         "hello world",
         "Content-Length"},
        {{"POST /echo HTTP/1.1\r\nContent-Length: 11\r\n\r\nhel", "lo wo", "rld"},
         "hello world",
         "Content-Length body arriving in pieces"},
        {{"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6\r\n "
          "world\r\n0\r\n\r\n"},
         "hello world",
         "chunked"},
        {{"POST /echo HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\n5;ext=1\r\nhello\r\n0\r\n"
          "Trailer: x\r\n\r\n"},
         "hello",
         "chunk extension and trailer"},
        {{"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "5\r\nhel", "lo\r\n",
          "0\r\n", "\r\n"},
         "hello",
         "chunked body arriving in pieces"},
        {{"POST /echo HTTP/1.1\r\nContent-Length: 0\r\n\r\n"}, "", "empty body"},
    };
    for (const auto& k : cases) {
        RawConn c(srv.port());
        for (const std::string& p : k.pieces) {
            c.send(p);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::string expected =
            "HTTP/1.1 200 \r\nContent-Type: text/plain; charset=UTF-8\r\nContent-Length: " +
            std::to_string(k.body.size()) + "\r\n\r\n" + k.body;
        EXPECT_EQ(c.readResponse(), expected) << k.rule;
        // The connection is usable afterwards.
        c.send(kHealthGet);
        EXPECT_EQ(c.recvN(kHealthReply.size()), kHealthReply) << k.rule;
    }
}

TEST_F(HttpServerTest, ExpectContinueIsAnswered) {
    RawConn c(srv.port());
    c.send("POST /echo HTTP/1.1\r\nContent-Length: 4\r\nExpect: 100-continue\r\n\r\n");
    EXPECT_EQ(c.recvN(25), "HTTP/1.1 100 Continue\r\n\r\n") << "sent before the body arrives";
    c.send("body");
    EXPECT_EQ(c.readResponse(),
              "HTTP/1.1 200 \r\nContent-Type: text/plain; charset=UTF-8\r\nContent-Length: "
              "4\r\n\r\nbody");
    c.send("POST /echo HTTP/1.1\r\nContent-Length: 2\r\nExpect: 100-continue\r\n\r\nok");
    EXPECT_EQ(c.readResponse(),
              "HTTP/1.1 200 \r\nContent-Type: text/plain; charset=UTF-8\r\nContent-Length: "
              "2\r\n\r\nok")
        << "no interim reply when the body came with the head";
}

TEST_F(HttpServerTest, LargestBodyIsAccepted) {
    RawConn c(srv.port());
    std::string body(kMaxBodyBytes, 'z');
    c.send("POST /echo HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n");
    c.send(body);
    std::string reply = c.readResponse();
    ASSERT_GT(reply.size(), body.size());
    EXPECT_EQ(reply.substr(reply.size() - body.size()), body);
}

TEST_F(HttpServerTest, HandlerFailureIs500WithLogLine) {
    LogCapture logs;
    RawConn c(srv.port());
    const std::string_view reply =
        "HTTP/1.1 500 \r\nContent-Length: 21\r\n\r\nInternal Server Error";
    c.send("GET /fail?x=1 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(c.readResponse(), reply) << "a handler error drops its content type and partial body";
    c.send("GET /throw HTTP/1.1\r\n\r\n");
    EXPECT_EQ(c.readResponse(), reply) << "an exception counts as a handler error";
    EXPECT_TRUE(
        logs.has("warning: http: unhandled exception for request: /fail?x=1\nErr: OutOfMemory"));
    EXPECT_TRUE(
        logs.has("warning: http: unhandled exception for request: /throw\nErr: Unexpected"));
    c.send(kHealthGet);
    EXPECT_EQ(c.recvN(kHealthReply.size()), kHealthReply)
        << "a failed handler keeps the connection";
}

TEST_F(HttpServerTest, LargeResponseReachesSlowReader) {
    RawConn c(srv.port());
    c.send("GET /big HTTP/1.1\r\n\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the socket fill up
    std::string reply = c.readResponse();
    size_t body = reply.size() - (reply.find("\r\n\r\n") + 4);
    EXPECT_EQ(body, 4u * 1024 * 1024);
    c.send(kHealthGet);
    EXPECT_EQ(c.recvN(kHealthReply.size()), kHealthReply);
}

TEST_F(HttpServerTest, PeerClosingMidRequestIsHarmless) {
    {
        RawConn c(srv.port());
        c.send("POST /echo HTTP/1.1\r\nContent-Length: 100\r\n\r\nabc");
    }
    {
        RawConn c(srv.port());
        c.send("GET /api/hea");
        ::shutdown(c.fd(), SHUT_WR);
        EXPECT_EQ(c.recvAll(), kReplyBadRequest) << "a request cut off by the client's EOF";
    }
    RawConn c(srv.port());
    c.send(kHealthGet);
    EXPECT_EQ(c.recvN(kHealthReply.size()), kHealthReply);
}

TEST_F(HttpServerTest, ConnectionsBeyondTheLimitAreClosed) {
    rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur < 2 * kMaxConnections + 256) GTEST_SKIP() << "needs more file descriptors";
    std::vector<std::unique_ptr<RawConn>> conns;
    // Spread over loopback addresses, kMaxConnsPerAddress from each.
    for (size_t i = 0; i < kMaxConnections; ++i) {
        conns.push_back(std::make_unique<RawConn>(srv.port(), 1 + int(i / kMaxConnsPerAddress)));
        ASSERT_TRUE(conns.back()->send(kHealthGet));
        ASSERT_EQ(conns.back()->recvN(kHealthReply.size()), kHealthReply) << i;
    }
    RawConn over(srv.port(), 200);
    over.send(kHealthGet);
    EXPECT_EQ(over.recvAll(), "") << "closed at once, without a reply";
    EXPECT_FALSE(over.timedOut());

    conns.front()->close();
    // The server frees the slot when it sees the close, which may come after
    // a few more connections were turned away: try for up to 5 s.
    std::string reply;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (reply.empty() && std::chrono::steady_clock::now() < deadline) {
        RawConn again(srv.port(), 1);
        again.send(kHealthGet);
        reply = again.recvN(kHealthReply.size(), 1000);
        if (reply.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(reply, kHealthReply) << "a freed slot serves the next connection";
}

TEST_F(HttpServerTest, FullRequestQueueAnswersInternalError) {
    g_release = false;
    g_blocked = 0;
    std::vector<std::unique_ptr<RawConn>> conns;
    // One request per handler thread, then enough to fill the queue, then
    // more until one is refused.
    bool refused = false;
    for (size_t i = 0; i < kHandlerThreads + kRequestQueueSize + 200 && !refused; ++i) {
        conns.push_back(std::make_unique<RawConn>(srv.port(), 1 + int(i / kMaxConnsPerAddress)));
        ASSERT_TRUE(conns.back()->send("GET /block HTTP/1.1\r\n\r\n"));
        if (i + 1 == kHandlerThreads) {
            ASSERT_TRUE(waitUntil([] { return g_blocked.load() == int(kHandlerThreads); }));
        }
        if (i >= kHandlerThreads + kRequestQueueSize) {
            refused = conns.back()->recvAll(100) == kReplyInternalError;
        }
    }
    EXPECT_TRUE(refused) << "a request beyond the busy handlers and the full queue is refused";
    g_release = true;
    size_t served = 0;
    size_t rejected = 0;
    for (auto& c : conns) {
        std::string r = c->readResponse(2000);
        if (r == "HTTP/1.1 200 \r\nContent-Length: 4\r\n\r\ndone") ++served;
        if (r == kReplyInternalError) ++rejected;
    }
    EXPECT_EQ(served, kHandlerThreads + kRequestQueueSize)
        << "exactly the busy handlers and the 500 queued requests are answered";
    EXPECT_EQ(served + rejected + (refused ? 1 : 0), conns.size());
}

TEST(HttpServerSetup, BindErrors) {
    HttpServer s(nullptr);
    EXPECT_EQ(s.bind("localhost", 0), Err::InvalidAddress) << "host names are not resolved";
    EXPECT_EQ(s.bind("300.1.1.1", 0), Err::InvalidAddress);
    HttpServer a(nullptr);
    ASSERT_EQ(a.bind("127.0.0.1", 0), Err::None);
    EXPECT_NE(a.port(), 0);
    HttpServer v6(nullptr);
    EXPECT_EQ(v6.bind("::1", 0), Err::None) << "numeric IPv6";
}

TEST(HttpServerSetup, StopBeforeServeEndsItAtOnce) {
    HttpServer s(nullptr);
    ASSERT_EQ(s.bind("127.0.0.1", 0), Err::None);
    s.stop();
    EXPECT_EQ(s.serve(), Err::None) << "a stop before serve ends it at once";
}

}  // namespace
}  // namespace tarvex::test
