// analytics.h: the historical analytics endpoints and their bodies.
//
// Event, alert and device counts per time bucket, the busiest source
// addresses and lifetime totals come from the database written behind the
// pipeline. Without a database each endpoint answers a fixed body with
// status 200. Every database question goes through queryAnalytics, the one
// place where these endpoints meet the database: it runs the query of
// analytics/queries.h on the handler's thread and writes the body below
// from the rows it returns.
#pragma once

#include <span>

#include "analytics/queries.h"
#include "analytics/range.h"
#include "api/context.h"
#include "api/json.h"
#include "common/reply.h"

namespace tarvex {

class Persistence;

// GET /api/analytics/events?range=
Err handleEventTimeSeries(ServerState& state, HttpRequest& req, HttpResponse& res);
// GET /api/analytics/alerts?range=
Err handleAlertTimeSeries(ServerState& state, HttpRequest& req, HttpResponse& res);
// GET /api/analytics/devices?range=
Err handleDeviceTimeSeries(ServerState& state, HttpRequest& req, HttpResponse& res);
// GET /api/analytics/top-talkers?range=
Err handleTopTalkers(ServerState& state, HttpRequest& req, HttpResponse& res);

// The questions the analytics endpoints ask the database.
enum class AnalyticsQuery : u8 { event_series, alert_series, device_series, top_talkers, lifetime };

// The scope and line logged when a query fails ("{}" is the error name).
struct QueryFailureLog {
    std::string_view scope;
    std::string_view pattern;
};
QueryFailureLog queryFailureLog(AnalyticsQuery q);

// Answers `q` over `range` from the database into `res`: 200 with the body
// written from the rows; 500 {"error":"query failed"} when the query failed
// (logged by the query); for the lifetime totals, 200 {"error":"no data"}
// without a row. `range` is not used by the lifetime query.
Err queryAnalytics(Persistence& db, AnalyticsQuery q, RangeParams range, HttpRequest& req,
                   HttpResponse& res);

// {"buckets":[{"t":..,"total":..,"syslog":..,"cef":..,"dhcp":..,"dns":..},...],
//  "range":"<interval>","bucket":"<bucket>"}
void writeEventSeriesBody(JsonWriter& j, std::span<const EventBucket> rows, RangeParams range);
// Rows {"t","total","critical","high","medium","low","info"}, then range and bucket.
void writeAlertSeriesBody(JsonWriter& j, std::span<const AlertBucket> rows, RangeParams range);
// Rows {"t","discovered","fingerprinted"}, then range and bucket.
void writeDeviceSeriesBody(JsonWriter& j, std::span<const DeviceBucket> rows, RangeParams range);
// {"talkers":[{"ip":"..","count":n},...]}, busiest first.
void writeTopTalkersBody(JsonWriter& j, const TopTalkers& t);
// The 16 lifetime totals in one object, in column order.
void writeLifetimeStatsBody(JsonWriter& j, const LifetimeStats& s);

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
