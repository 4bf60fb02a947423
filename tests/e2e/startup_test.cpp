// End-to-end: the real binary's command line and start-up log lines.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "config.h"
#include "support/daemon.h"

namespace tarvex::test {
namespace {

TEST(E2eStartup, VersionAndHelpPrintExactBytes) {
    RunResult v = runToExit({"-v"}, {});
    EXPECT_EQ(v.exit_status, 0);
    EXPECT_EQ(v.out, "tarvex v0.1.0\n");
    EXPECT_EQ(v.err, "");

    RunResult h = runToExit({"--help"}, {});
    EXPECT_EQ(h.exit_status, 0);
    EXPECT_EQ(h.out, std::string(usageText()));
    EXPECT_EQ(h.out.size(), 2086u);
    EXPECT_EQ(h.err, "");

    RunResult hc = runToExit({"-h", "-c", "whatever.env"}, {});
    EXPECT_EQ(hc.exit_status, 0);
    EXPECT_EQ(hc.out.size(), 2086u);
}

std::map<std::string, std::string> localEnv() {
    return {{"PORT", std::to_string(freePort(SOCK_STREAM))},
            {"SYSLOG_PORT", std::to_string(freePort(SOCK_DGRAM))},
            {"HOST", "127.0.0.1"}};
}

TEST(E2eStartup, LogsStartupLinesInOrder) {
    auto env = localEnv();
    Daemon d({}, env);
    ASSERT_TRUE(d.started());
    ASSERT_TRUE(d.waitForLine("info(main): max devices: 200"));
    const std::vector<std::string> expected = {
        "warning(config): DATABASE_URL not set \xE2\x80\x94 database features will be unavailable",
        "info(config): config loaded: port=" + env["PORT"] + " syslog_port=" + env["SYSLOG_PORT"] +
            " env=development max_devices=200",
        "info(main): Tarvex v0.1.0 starting...",
        "info(main): environment: development",
        "info(main): syslog port: " + env["SYSLOG_PORT"],
        "info(main): API port:    " + env["PORT"],
        "info(main): max devices: 200",
    };
    auto lines = d.lines();
    ASSERT_GE(lines.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(lines[i], expected[i]) << i;
    ASSERT_TRUE(d.waitForLine("DATABASE_URL not configured"));
}

TEST(E2eStartup, ConfigOptionLoadsFileAndStopsScanning) {
    std::string path = "/tmp/tarvex_e2e_" + std::to_string(getpid()) + ".env";
    {
        std::ofstream f(path);
        f << "MAX_DEVICES=10\nAPP_ENV=production\n";
    }
    auto env = localEnv();
    Daemon d({"-c", path, "-h"}, env);
    ASSERT_TRUE(d.waitForLine("info(main): max devices: 10"));
    EXPECT_TRUE(d.waitForLine("info(config): loaded 2 variables from config file '" + path + "'"));
    EXPECT_TRUE(d.waitForLine("info(main): environment: production"));
    std::remove(path.c_str());

    Daemon missing({"-c"}, localEnv());
    EXPECT_TRUE(missing.waitForLine("error(config): --config requires a path argument"));
    EXPECT_TRUE(missing.waitForLine("info(main): Tarvex v0.1.0 starting..."));
}

}  // namespace
}  // namespace tarvex::test
