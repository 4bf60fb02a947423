// analytics.cpp: the analytics series and top-talker endpoints.
#include "api/analytics.h"

#include "analytics/queries.h"
#include "api/body.h"
#include "common/log.h"
#include "engine_state.h"
#include "storage/persistence.h"

namespace tarvex {

namespace {

// The shared path of the four range endpoints: the query string, the range,
// then either the no-database body or the database.
Err answerRange(ServerState& state, HttpRequest& req, HttpResponse& res, AnalyticsQuery q,
                std::string_view no_database_body) {
    res.content_type = ContentType::json;
    Result<const QueryParams*> query = req.query();
    if (!query) return replyJson(res, 400, kBodyBadQuery);
    RangeParams range = parseRange(queryValue(*query.value, "range"));
    Persistence* db = state.db;
    if (!db) return replyJson(res, 200, no_database_body);
    return queryAnalytics(*db, q, range, req, res);
}

}  // namespace

QueryFailureLog queryFailureLog(AnalyticsQuery q) {
    switch (q) {
        case AnalyticsQuery::event_series:
            return {"analytics", "event time series query failed: {}"};
        case AnalyticsQuery::alert_series:
            return {"analytics", "alert time series query failed: {}"};
        case AnalyticsQuery::device_series:
            return {"analytics", "device time series query failed: {}"};
        case AnalyticsQuery::top_talkers:
            return {"analytics", "top talkers query failed: {}"};
        case AnalyticsQuery::lifetime:
            return {"lifetime_stats", "lifetime stats query failed: {}"};
    }
    return {"analytics", "query failed: {}"};
}

Err queryAnalytics(Persistence& db, AnalyticsQuery q, RangeParams range, HttpRequest&,
                   HttpResponse& res) {
    // The query functions write the whole body (the failure body and its
    // log line included) and give the status.
    std::string body;
    u16 status = 500;
    switch (q) {
        case AnalyticsQuery::event_series:
            status = queryEventTimeSeries(db, range, body);
            break;
        case AnalyticsQuery::alert_series:
            status = queryAlertTimeSeries(db, range, body);
            break;
        case AnalyticsQuery::device_series:
            status = queryDeviceTimeSeries(db, range, body);
            break;
        case AnalyticsQuery::top_talkers:
            status = queryTopTalkers(db, range, body);
            break;
        case AnalyticsQuery::lifetime:
            status = queryLifetimeStats(db, body);
            break;
    }
    res.content_type = ContentType::json;
    res.status = status;
    res.writer().append(body);
    return res.writer().err();
}

Err handleEventTimeSeries(ServerState& state, HttpRequest& req, HttpResponse& res) {
    return answerRange(state, req, res, AnalyticsQuery::event_series, kEventSeriesNoDatabaseBody);
}

Err handleAlertTimeSeries(ServerState& state, HttpRequest& req, HttpResponse& res) {
    return answerRange(state, req, res, AnalyticsQuery::alert_series, kAlertSeriesNoDatabaseBody);
}

Err handleDeviceTimeSeries(ServerState& state, HttpRequest& req, HttpResponse& res) {
    return answerRange(state, req, res, AnalyticsQuery::device_series, kDeviceSeriesNoDatabaseBody);
}

Err handleTopTalkers(ServerState& state, HttpRequest& req, HttpResponse& res) {
    return answerRange(state, req, res, AnalyticsQuery::top_talkers, kTopTalkersNoDatabaseBody);
}

}  // namespace tarvex
