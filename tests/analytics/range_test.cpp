// Analytics range parameter.
#include "analytics/range.h"

#include <gtest/gtest.h>

namespace tarvex {
namespace {

TEST(AnalyticsRange, RangeTextRules) {
    const std::tuple<std::optional<std::string_view>, std::string_view, std::string_view> rows[] = {
        {"30d", "day", "30 days"}, {"90d", "day", "90 days"},
        {"7d", "hour", "7 days"},  {std::nullopt, "hour", "7 days"},  // absent
        {"1y", "hour", "7 days"},   // unlisted values fall back to the default
        {"30D", "hour", "7 days"},  // letter case matters
    };
    for (const auto& [text, bucket, interval] : rows) {
        RangeParams p = parseRange(text);
        EXPECT_EQ(p.bucket, bucket) << text.value_or("-");
        EXPECT_EQ(p.interval, interval) << text.value_or("-");
    }
}

}  // namespace
}  // namespace tarvex
