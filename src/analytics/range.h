// range.h: the time range of the analytics series and their fixed bodies.
//
// The analytics endpoints take a "range" query parameter that selects the
// bucket width and look-back interval of their database queries. Without a
// database they answer with the fixed bodies below.
#pragma once

#include <optional>
#include <string_view>

#include "common/reply.h"

namespace tarvex {

// Bucket width ($1 of the series queries, a date_trunc unit) and look-back
// interval (a PostgreSQL interval text), both echoed in the series body.
struct RangeParams {
    std::string_view bucket;
    std::string_view interval;
};

// "30d" gives day over "30 days", "90d" day over "90 days"; absent, "7d" and
// anything else give hour over "7 days".
RangeParams parseRange(std::optional<std::string_view> range);

// Bodies sent with status 200 when no database is configured.
inline constexpr std::string_view kSeriesNoDatabaseBody =
    "{\"buckets\":[],\"error\":\"database not configured\"}";
inline constexpr std::string_view kEventSeriesNoDatabaseBody = kSeriesNoDatabaseBody;
inline constexpr std::string_view kAlertSeriesNoDatabaseBody = kSeriesNoDatabaseBody;
inline constexpr std::string_view kDeviceSeriesNoDatabaseBody = kSeriesNoDatabaseBody;
inline constexpr std::string_view kTopTalkersNoDatabaseBody = "{\"talkers\":[]}";
inline constexpr std::string_view kLifetimeStatsNoDatabaseBody =
    "{\"error\":\"database not configured\"}";

// Replies of a failed query and of a lifetime query without a row.
inline constexpr FixedReply kReplyQueryFailed{500, "{\"error\":\"query failed\"}"};
inline constexpr FixedReply kReplyNoData{200, "{\"error\":\"no data\"}"};

}  // namespace tarvex
