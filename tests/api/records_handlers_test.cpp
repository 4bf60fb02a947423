// Handler rules that the end-to-end tests cannot reach: a body that
// overruns its room, and the analytics answer when a database is configured.
#include <gtest/gtest.h>

#include <memory>

#include "api/analytics.h"
#include "api/body.h"
#include "api/lifetime_stats.h"
#include "pipeline.h"
#include "support/log_capture.h"

namespace tarvex::test {
namespace {

TEST(ApiBody, OverrunBodyIsAnErrorNotACutDocument) {
    char scratch[256];
    Arena arena(scratch, sizeof scratch);
    HttpRequest req;
    req.arena = &arena;
    HttpResponse fits(&arena);
    EXPECT_EQ(replyWritten(req, fits, 6, [](TextBuf& out) { out.append("{\"a\":1}"); }),
              Err::StreamTooLong)
        << "7 bytes do not fit in 6: the handler fails, the engine answers 500";
    HttpResponse exact(&arena);
    EXPECT_EQ(replyWritten(req, exact, 7, [](TextBuf& out) { out.append("{\"a\":1}"); }),
              Err::None);
    EXPECT_EQ(exact.body(), "{\"a\":1}");
    EXPECT_EQ(exact.content_type, ContentType::json);
}

TEST(AnalyticsEndpoints, ConfiguredDatabaseNeverGetsTheNoDatabaseBody) {
    LogCapture logs;
    auto pipeline = std::make_unique<Pipeline>();
    alignas(8) static char stand_in[8];
    pipeline->persistence = reinterpret_cast<Persistence*>(stand_in);  // never dereferenced
    ServerState state{};
    state.pipeline = pipeline.get();
    const struct {
        ApiHandler handler;
        const char* line;
    } rows[] = {
        {handleEventTimeSeries, "warning(analytics): event time series query failed: QueryFailed"},
        {handleAlertTimeSeries, "warning(analytics): alert time series query failed: QueryFailed"},
        {handleDeviceTimeSeries,
         "warning(analytics): device time series query failed: QueryFailed"},
        {handleTopTalkers, "warning(analytics): top talkers query failed: QueryFailed"},
        {handleGetLifetimeStats,
         "warning(lifetime_stats): lifetime stats query failed: QueryFailed"},
    };
    for (const auto& row : rows) {
        char scratch[1024];
        Arena arena(scratch, sizeof scratch);
        HttpRequest req;
        req.resetForDispatch(&arena);
        HttpResponse res(&arena);
        EXPECT_EQ(row.handler(state, req, res), Err::None) << row.line;
        EXPECT_EQ(res.status, 500) << row.line;
        EXPECT_EQ(res.body(), "{\"error\":\"query failed\"}") << row.line;
        EXPECT_TRUE(logs.has(row.line)) << row.line;
    }
}

}  // namespace
}  // namespace tarvex::test
