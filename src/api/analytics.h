// analytics.h: the historical analytics endpoints.
//
// Event, alert and device counts per time bucket, the busiest source
// addresses and lifetime totals come from the database written behind the
// pipeline. Without a database each endpoint answers a fixed body with
// status 200. Every database question goes through queryAnalytics, the one
// place where these endpoints meet the database.
#pragma once

#include "analytics/range.h"
#include "api/context.h"

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

// Answers `q` over `range` from the database into `res`. The database side
// is not built yet: until it is, every query fails, which is logged and
// answered 500 {"error":"query failed"}.
Err queryAnalytics(Persistence& db, AnalyticsQuery q, RangeParams range, HttpRequest& req,
                   HttpResponse& res);

}  // namespace tarvex
