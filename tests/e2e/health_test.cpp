// End-to-end: the real binary serves the API on its configured port.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "api/routes.h"
#include "support/daemon.h"
#include "support/http_client.h"

namespace tarvex::test {
namespace {

TEST(E2eHealth, ServesHealthWithExactBytes) {
    int port = freePort(SOCK_STREAM);
    std::string p = std::to_string(port);
    Daemon d({}, {{"PORT", p},
                  {"SYSLOG_PORT", std::to_string(freePort(SOCK_DGRAM))},
                  {"HOST", "127.0.0.1"}});
    ASSERT_TRUE(d.started());
    ASSERT_TRUE(d.waitForLine("info(server): HTTP server listening on 127.0.0.1:" + p));
    EXPECT_TRUE(d.waitForLine("info(server): starting HTTP server on 127.0.0.1:" + p));
    Router table;
    const size_t routes = registerRoutes(table);
    EXPECT_TRUE(
        d.waitForLine("info(routes): registered " + std::to_string(routes) + " API routes"));

    // The line is logged just before the socket is bound: retry briefly.
    std::string reply;
    for (int attempt = 0; attempt < 100 && reply.empty(); ++attempt) {
        RawConn c(port);
        if (c.ok() && c.send("GET /api/health HTTP/1.1\r\nHost: localhost\r\n\r\n"))
            reply = c.readResponse();
        if (reply.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(reply,
              "HTTP/1.1 200 \r\nContent-Type: application/json; charset=UTF-8\r\n"
              "Content-Length: 33\r\n\r\n{\"status\":\"ok\",\"version\":\"0.1.0\"}");
}

TEST(E2eHealth, UnusableHostEndsWithError) {
    RunResult r = runToExit({}, {{"PORT", std::to_string(freePort(SOCK_STREAM))},
                                 {"SYSLOG_PORT", std::to_string(freePort(SOCK_DGRAM))},
                                 {"HOST", "not-an-address"}});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("\nerror: InvalidAddress\n"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace tarvex::test
