// The API's safety on a real network, against the real daemon: the token
// matrix (HTTP and the live feed), cross-site refusal, a foreign Host on a
// loopback bind, one address holding 1100 connections while another is
// served, the real head time-out, HEAD and OPTIONS.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/api_daemon.h"
#include "support/http_call.h"
#include "support/http_client.h"

namespace tarvex::test {
namespace {

constexpr const char* kToken = "e2e-token-8d1f0c2b7a6e4b1f9c3d";
const std::string kAuth = std::string("Authorization: Bearer ") + kToken + "\r\n";
const std::string kUnauthorized = "{\"error\":\"unauthorized\"}";
const std::string kCrossSite = "{\"error\":\"cross-site request refused\"}";

std::string cefAlert(const std::string& name) {
    return "CEF:0|Ubiquiti|UniFi Network|9.4.19|201|" + name +
           "|8|proto=TCP src=198.51.100.7 spt=5151 dst=192.168.1.20 dpt=8443";
}

// Waits for a text frame holding `part`, skipping others; false after
// `timeout_ms` of silence or a close.
bool feedSees(RawConn& c, const std::string& part, int timeout_ms = 3000) {
    for (int i = 0; i < 50; ++i) {
        WsMessage m = wsReadFrame(c, timeout_ms);
        if (!m.ok || m.opcode == 0x8) return false;
        if (m.payload.find(part) != std::string::npos) return true;
    }
    return false;
}

TEST(E2eAccess, TokenMatrix) {
    ApiDaemon api(std::map<std::string, std::string>{{"API_TOKEN", kToken}});
    ASSERT_TRUE(api.ready());
    EXPECT_TRUE(api.loggedAnywhere("API token required"));
    RawConn c(api.port);
    const std::string wrong = "Authorization: Bearer not-the-token\r\n";
    const struct {
        const char* method;
        const char* target;
        std::optional<std::string> body;
        const char* rule;
    } routes[] = {
        {"GET", "/api/devices", std::nullopt, "a read"},
        {"GET", "/api/stats", std::nullopt, "another read"},
        {"GET", "/metrics", std::nullopt, "the counters for Prometheus"},
        {"POST", "/api/cases", "{\"title\":\"x\"}", "a write"},
        {"POST", "/api/indicators", "{\"value\":\"1.2.3.4\",\"type\":\"ip\"}", "another write"},
        {"GET", "/api/nothing", std::nullopt, "a path without a route"},
    };
    for (const auto& r : routes) {
        std::optional<std::string_view> body;
        if (r.body) body = *r.body;
        for (const std::string& creds : {std::string(), wrong}) {
            HttpReply rep = callWith(c, r.method, r.target, body, creds);
            EXPECT_EQ(rep.status, 401) << r.rule << (creds.empty() ? " without" : " wrong");
            EXPECT_EQ(rep.body, kUnauthorized) << r.rule;
            EXPECT_NE(rep.head.find("WWW-Authenticate: Bearer"), std::string::npos) << r.rule;
        }
    }
    // Nothing was stored by the refused writes.
    HttpReply cases = callWith(c, "GET", "/api/cases", std::nullopt, kAuth);
    ASSERT_EQ(cases.status, 200);
    EXPECT_NE(cases.body.find("\"total\":0"), std::string::npos) << cases.body;
    // With the token everything answers as usual.
    EXPECT_EQ(callWith(c, "GET", "/api/devices", std::nullopt, kAuth).status, 200);
    EXPECT_EQ(callWith(c, "GET", "/metrics", std::nullopt, kAuth).status, 200);
    EXPECT_EQ(callWith(c, "POST", "/api/cases", std::string_view("{\"title\":\"x\"}"),
                       "Content-Type: application/json\r\n" + kAuth)
                  .status,
              200);
    EXPECT_EQ(callWith(c, "GET", "/api/nothing", std::nullopt, kAuth).status, 404);
    // Health and the dashboard's files stay open.
    EXPECT_EQ(call(c, "GET", "/api/health").status, 200);
    EXPECT_EQ(call(c, "GET", "/").status, 200);
    EXPECT_EQ(call(c, "GET", "/ui/js/api.js").status, 200);
    EXPECT_TRUE(api.logged("refused GET /api/devices from 127.0.0.1:"));
    EXPECT_FALSE(api.loggedAnywhere(kToken)) << "the token is never logged";
}

TEST(E2eAccess, FeedNeedsTheTokenBeforeItSendsAnything) {
    ApiDaemon api(std::map<std::string, std::string>{{"API_TOKEN", kToken}});
    ASSERT_TRUE(api.ready());
    auto upgrade = [&](const std::string& extra) {
        std::string r = wsUpgradeRequest();
        r.insert(r.size() - 2, extra);
        return r;
    };
    // Offered as a subprotocol: accepted, "tarvex" selected, token not echoed.
    RawConn proto(api.port);
    ASSERT_TRUE(proto.send(
        upgrade(std::string("Sec-WebSocket-Protocol: tarvex, tarvex-token.") + kToken + "\r\n")));
    std::string head = proto.recvN(kWsUpgradeReply.size() + 32);
    EXPECT_EQ(head.rfind("HTTP/1.1 101 ", 0), 0u) << head;
    EXPECT_NE(head.find("Sec-WebSocket-Protocol: tarvex\r\n"), std::string::npos) << head;
    EXPECT_EQ(head.find(kToken), std::string::npos);
    EXPECT_EQ(wsReadFrame(proto).payload, "{\"type\":\"connected\"}");
    // A wrong token offered is refused before the upgrade.
    RawConn bad(api.port);
    ASSERT_TRUE(bad.send(upgrade("Sec-WebSocket-Protocol: tarvex, tarvex-token.nope\r\n")));
    HttpReply r = parseReply(bad.readResponse());
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(r.body, kUnauthorized);
    // Without credentials: upgraded, but nothing arrives until it signs in.
    RawConn later(api.port);
    RawConn never(api.port);
    RawConn liar(api.port);
    for (RawConn* c : {&later, &never, &liar}) {
        ASSERT_TRUE(c->send(wsUpgradeRequest()));
        ASSERT_EQ(c->recvN(kWsUpgradeReply.size()), kWsUpgradeReply);
    }
    api.sendUdp(cefAlert("Before sign-in"));
    EXPECT_TRUE(feedSees(proto, "Before sign-in"));
    EXPECT_TRUE(later.silentFor(300)) << "no welcome and no alert before signing in";
    EXPECT_TRUE(never.silentFor(10));
    ASSERT_TRUE(later.send(
        wsClientFrame(0x1, std::string("{\"type\":\"auth\",\"token\":\"") + kToken + "\"}")));
    EXPECT_EQ(wsReadFrame(later).payload, "{\"type\":\"connected\"}");
    api.sendUdp(cefAlert("After sign-in"));
    EXPECT_TRUE(feedSees(later, "After sign-in"));
    ASSERT_TRUE(liar.send(wsClientFrame(0x1, "{\"type\":\"auth\",\"token\":\"guess\"}")));
    EXPECT_EQ(wsReadFrame(liar).payload, "{\"type\":\"error\",\"error\":\"unauthorized\"}");
    WsMessage close = wsReadFrame(liar);
    EXPECT_EQ(close.opcode, 0x8);
    EXPECT_EQ(close.payload, std::string("\x03\xF0", 2)) << "1008 policy violation";
    EXPECT_TRUE(liar.peerClosed());
    // One that never signs in is closed after the head time-out (10 s).
    EXPECT_TRUE(never.peerClosed(13000));
}

TEST(E2eAccess, CrossSiteWritesAndUpgradesAreRefused) {
    ApiDaemon api(std::map<std::string, std::string>{{"CORS_ORIGINS", "http://dev.example:5173"}});
    ASSERT_TRUE(api.ready());
    RawConn c(api.port);
    const std::string own = "Host: 127.0.0.1:" + std::to_string(api.port) + "\r\n";
    const struct {
        std::string headers;
        int status;
        const char* rule;
    } cases[] = {
        {own + "Origin: http://evil.example\r\nContent-Type: text/plain\r\n", 403,
         "foreign origin, a form-like body type"},
        {own + "Sec-Fetch-Site: cross-site\r\nContent-Type: text/plain\r\n", 403,
         "cross-site fetch metadata without Origin"},
        {own + "Origin: null\r\n", 403, "opaque origin"},
    };
    for (const auto& k : cases) {
        HttpReply r =
            callWith(c, "POST", "/api/cases", std::string_view("{\"title\":\"evil\"}"), k.headers);
        EXPECT_EQ(r.status, k.status) << k.rule;
        EXPECT_EQ(r.body, kCrossSite) << k.rule;
    }
    EXPECT_NE(call(c, "GET", "/api/cases").body.find("\"total\":0"), std::string::npos)
        << "nothing was stored";
    // Same origin, a listed origin, and scripts without Origin are served;
    // the import routes keep their own body types.
    EXPECT_EQ(callWith(c, "POST", "/api/cases", std::string_view("{\"title\":\"a\"}"),
                       own + "Origin: http://127.0.0.1:" + std::to_string(api.port) + "\r\n")
                  .status,
              200);
    EXPECT_EQ(callWith(c, "POST", "/api/cases", std::string_view("{\"title\":\"b\"}"),
                       own + "Origin: http://dev.example:5173\r\n")
                  .status,
              200);
    EXPECT_EQ(call(c, "POST", "/api/cases", std::string_view("{\"title\":\"c\"}")).status, 200);
    HttpReply bulk = callWith(c, "POST", "/api/indicators/bulk",
                              std::string_view("1.2.3.4\n5.6.7.8\n"), "Content-Type: text/csv\r\n");
    EXPECT_NE(bulk.status, 403) << bulk.body;
    EXPECT_LT(bulk.status, 300) << bulk.body;
    HttpReply rule =
        callWith(c, "POST", "/api/rules/import", std::string_view("title: scan\ndetection: {}\n"),
                 "Content-Type: application/yaml\r\n");
    EXPECT_LT(rule.status, 300) << rule.body;

    RawConn ws(api.port);
    std::string up = wsUpgradeRequest();
    up.insert(up.size() - 2, "Origin: http://evil.example\r\n");
    ASSERT_TRUE(ws.send(up));
    HttpReply r = parseReply(ws.readResponse());
    EXPECT_EQ(r.status, 403) << "a foreign-origin upgrade is refused";
    EXPECT_EQ(r.body, kCrossSite);
    EXPECT_TRUE(api.logged("cross-site request (origin http://evil.example)"));
}

TEST(E2eAccess, ForeignHostOnALoopbackBindIsRefused) {
    ApiDaemon api;
    ASSERT_TRUE(api.ready());
    RawConn c(api.port);
    const std::string port = std::to_string(api.port);
    for (std::string host :
         {"evil.example:" + port, "192.168.1.5:" + port, std::string("localhost.evil:1")}) {
        HttpReply r = callWith(c, "GET", "/api/health", std::nullopt, "Host: " + host + "\r\n");
        EXPECT_EQ(r.status, 403) << host;
        EXPECT_EQ(r.body, "{\"error\":\"host not allowed\"}") << host;
    }
    for (std::string host : {"localhost:" + port, "127.0.0.1:" + port, "[::1]:" + port})
        EXPECT_EQ(callWith(c, "GET", "/api/devices", std::nullopt, "Host: " + host + "\r\n").status,
                  200)
            << host;
}

TEST(E2eAccess, OneAddressHoldingConnectionsDoesNotLockOthersOut) {
    if (raiseOpenFiles(4096) < 2400) GTEST_SKIP() << "needs more file descriptors";
    ApiDaemon api;
    ASSERT_TRUE(api.ready());
    std::vector<std::unique_ptr<RawConn>> hog;
    for (int i = 0; i < 1100; ++i) hog.push_back(std::make_unique<RawConn>(api.port, 7));
    int answered = 0;
    for (int i = 0; i < 20; ++i) {
        RawConn c(api.port, 8);
        if (c.ok() && call(c, "GET", "/api/health").status == 200) ++answered;
    }
    EXPECT_EQ(answered, 20) << "another address is always served";
    EXPECT_TRUE(api.logged("(the per-address limit)"));
}

TEST(E2eAccess, IncompleteHeadIsClosedAfterTenSeconds) {
    ApiDaemon api;
    ASSERT_TRUE(api.ready());
    RawConn c(api.port);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(c.send("GET /api/health HTTP/1.1\r\nHost: localhost\r\nX-Slow: "));
    EXPECT_TRUE(c.silentFor(8000)) << "not before the head time-out";
    std::string reply = c.recvAll(5000);
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(reply,
              "HTTP/1.1 408 \r\nConnection: Close\r\nContent-Length: 15\r\n\r\nRequest Timeout");
    EXPECT_FALSE(c.timedOut()) << "and closed";
    EXPECT_LT(waited, std::chrono::seconds(13));
}

TEST(E2eAccess, HeadAndOptions) {
    ApiDaemon api;
    ASSERT_TRUE(api.ready());
    RawConn c(api.port);
    ASSERT_TRUE(c.send("HEAD /api/health HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    EXPECT_EQ(c.recvN(200, 1000),
              "HTTP/1.1 200 \r\nContent-Type: application/json; charset=UTF-8\r\nContent-Length: "
              "33\r\n\r\n");
    for (const char* m : {"OPTIONS", "DELETE", "PUT"}) {
        HttpReply r = call(c, m, "/api/alerts");
        EXPECT_EQ(r.status, 405) << m;
        EXPECT_NE(r.head.find("Allow: GET, HEAD\r\n"), std::string::npos) << m;
    }
    HttpReply r = call(c, "OPTIONS", "/api/cases");
    EXPECT_NE(r.head.find("Allow: GET, HEAD, POST\r\n"), std::string::npos) << r.head;
    EXPECT_EQ(call(c, "OPTIONS", "/api/nothing").status, 404);
}

TEST(E2eAccess, NonLoopbackBindWithoutTokenWarnsAtStart) {
    int port = freePort(SOCK_STREAM);
    Daemon d({}, {{"HOST", "0.0.0.0"},
                  {"PORT", std::to_string(port)},
                  {"SYSLOG_PORT", std::to_string(freePort(SOCK_DGRAM))}});
    ASSERT_TRUE(d.started());
    EXPECT_TRUE(
        d.waitForLine("warning(server): API_TOKEN is not set and the API listens on "
                      "0.0.0.0:" +
                      std::to_string(port)));
    EXPECT_TRUE(d.waitForLine("API_TOKEN=$(openssl rand -hex 32)"));
}

}  // namespace
}  // namespace tarvex::test
