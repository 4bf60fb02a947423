// Analytics range parameter.
#include "analytics/range.h"

#include <gtest/gtest.h>

namespace tarvex {
namespace {

TEST(AnalyticsRange, RangeTextRules) {
    struct Row {
        std::optional<std::string_view> text;
        std::string_view bucket, interval;
        const char* rule;
    };
    const Row rows[] = {
        {"30d", "day", "30 days", "thirty days by day"},
        {"90d", "day", "90 days", "ninety days by day"},
        {"7d", "hour", "7 days", "the default, spelled out"},
        {std::nullopt, "hour", "7 days", "absent"},
        {"1y", "hour", "7 days", "unlisted value"},
        {"30D", "hour", "7 days", "letter case matters"},
        {"", "hour", "7 days", "empty"},
    };
    for (const auto& r : rows) {
        RangeParams p = parseRange(r.text);
        EXPECT_EQ(p.bucket, r.bucket) << r.rule;
        EXPECT_EQ(p.interval, r.interval) << r.rule;
    }
}

}  // namespace
}  // namespace tarvex
