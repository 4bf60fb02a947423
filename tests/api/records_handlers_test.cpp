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
    auto writeA = [](JsonWriter& j) { j.beginObject().key("a").u(1).endObject(); };
    HttpResponse fits(&arena);
    EXPECT_EQ(replyWritten(fits, 6, writeA), Err::StreamTooLong)
        << "7 bytes do not fit in 6: the handler fails, the engine answers 500";
    HttpResponse exact(&arena);
    EXPECT_EQ(replyWritten(exact, 7, writeA), Err::None);
    EXPECT_EQ(exact.body(), "{\"a\":1}");
    EXPECT_EQ(exact.content_type, ContentType::json);
}

}  // namespace
}  // namespace tarvex::test
