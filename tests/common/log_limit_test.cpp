// log_limit_test.cpp: repeat-limited log lines.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "support/log_capture.h"

namespace tarvex {
namespace {

void complain(LogLimit& limit, int n) {
    logWarnLimited(limit, "syslog", "invalid PRI value {}", n);
}

// The first line shows; its repeats within the second do not; the next one
// shown after the second says how many were left out. A new log sink starts
// the limit afresh.
TEST(LogLimit, ShowsOneLineASecondAndCountsTheRest) {
    static LogLimit limit;
    {
        test::LogCapture logs;
        for (int i = 0; i < 1000; ++i) complain(limit, i);
        EXPECT_EQ(logs.lines(), std::vector<std::string>{"warning(syslog): invalid PRI value 0"});
        std::this_thread::sleep_for(std::chrono::nanoseconds(kLogLimitIntervalNs + 50'000'000));
        complain(limit, 1000);
        EXPECT_EQ(logs.lines(), (std::vector<std::string>{
                                    "warning(syslog): invalid PRI value 0",
                                    "warning(syslog): invalid PRI value 1000",
                                    "info(log): 999 more like the line above were not shown "
                                    "since the last",
                                }));
    }
    test::LogCapture fresh;
    complain(limit, 7);
    EXPECT_EQ(fresh.lines(), std::vector<std::string>{"warning(syslog): invalid PRI value 7"});
}

// Many threads hitting one limit: exactly one line shows.
TEST(LogLimitConcurrency, OneLineFromManyThreads) {
    static LogLimit limit;
    test::LogCapture logs;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 2000; ++i) complain(limit, 1);
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(logs.lines().size(), 1u);
}

}  // namespace
}  // namespace tarvex
