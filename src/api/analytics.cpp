// analytics.cpp: the analytics series and top-talker endpoints, and the
// bodies of every analytics answer.
#include "api/analytics.h"

#include "api/body.h"
#include "common/log.h"
#include "engine_state.h"
#include "storage/persistence.h"

namespace tarvex {

namespace {

// The tail every series body shares: the range and bucket it was asked for.
void endSeries(JsonWriter& j, RangeParams range) {
    j.endArray();
    j.key("range").str(range.interval);
    j.key("bucket").str(range.bucket);
    j.endObject();
}

// Sends the body `write(JsonWriter&)` writes when the query read its rows;
// the no-data or failure reply otherwise.
template <class Write>
Err answer(HttpResponse& res, QueryOutcome outcome, Write&& write) {
    switch (outcome) {
        case QueryOutcome::rows: {
            res.content_type = ContentType::json;
            res.status = 200;
            JsonWriter j(res.writer());
            write(j);
            return res.writer().err();
        }
        case QueryOutcome::no_row:
            return replyFixed(res, kReplyNoData);
        case QueryOutcome::failed:
            break;
    }
    return replyFixed(res, kReplyQueryFailed);
}

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

void writeEventSeriesBody(JsonWriter& j, std::span<const EventBucket> rows, RangeParams range) {
    j.beginObject().key("buckets").beginArray();
    for (const EventBucket& b : rows) {
        j.beginObject();
        j.key("t").i(b.t).key("total").i(b.total);
        j.key("syslog").i(b.syslog).key("cef").i(b.cef);
        j.key("dhcp").i(b.dhcp).key("dns").i(b.dns);
        j.endObject();
    }
    endSeries(j, range);
}

void writeAlertSeriesBody(JsonWriter& j, std::span<const AlertBucket> rows, RangeParams range) {
    j.beginObject().key("buckets").beginArray();
    for (const AlertBucket& b : rows) {
        j.beginObject();
        j.key("t").i(b.t).key("total").i(b.total);
        j.key("critical").i(b.critical).key("high").i(b.high);
        j.key("medium").i(b.medium).key("low").i(b.low).key("info").i(b.info);
        j.endObject();
    }
    endSeries(j, range);
}

void writeDeviceSeriesBody(JsonWriter& j, std::span<const DeviceBucket> rows, RangeParams range) {
    j.beginObject().key("buckets").beginArray();
    for (const DeviceBucket& b : rows) {
        j.beginObject();
        j.key("t").i(b.t);
        j.key("discovered").i(b.discovered);
        j.key("fingerprinted").i(b.fingerprinted);
        j.endObject();
    }
    endSeries(j, range);
}

void writeTopTalkersBody(JsonWriter& j, const TopTalkers& t) {
    j.beginObject().key("talkers").beginArray();
    for (u32 i = 0; i < t.count && i < kMaxTopTalkers; ++i) {
        const TopTalker& r = t.rows[i];
        j.beginObject().key("ip").str(r.getIp()).key("count").i(r.count).endObject();
    }
    j.endArray().endObject();
}

void writeLifetimeStatsBody(JsonWriter& j, const LifetimeStats& s) {
    j.beginObject();
    j.key("total_events").i(s.total_events);
    j.key("total_devices").i(s.total_devices);
    j.key("total_alerts").i(s.total_alerts);
    j.key("syslog_events").i(s.syslog_events);
    j.key("cef_events").i(s.cef_events);
    j.key("dhcp_events").i(s.dhcp_events);
    j.key("dns_events").i(s.dns_events);
    j.key("critical_alerts").i(s.critical_alerts);
    j.key("high_alerts").i(s.high_alerts);
    j.key("medium_alerts").i(s.medium_alerts);
    j.key("low_alerts").i(s.low_alerts);
    j.key("info_alerts").i(s.info_alerts);
    j.key("first_event_at").i(s.first_event_at);
    j.key("last_event_at").i(s.last_event_at);
    j.key("total_cases").i(s.total_cases);
    j.key("unique_source_ips").i(s.unique_source_ips);
    j.endObject();
}

Err queryAnalytics(Persistence& db, AnalyticsQuery q, RangeParams range, HttpRequest&,
                   HttpResponse& res) {
    switch (q) {
        case AnalyticsQuery::event_series: {
            std::vector<EventBucket> rows;
            QueryOutcome o = queryEventTimeSeries(db, range, rows);
            return answer(res, o, [&](JsonWriter& j) { writeEventSeriesBody(j, rows, range); });
        }
        case AnalyticsQuery::alert_series: {
            std::vector<AlertBucket> rows;
            QueryOutcome o = queryAlertTimeSeries(db, range, rows);
            return answer(res, o, [&](JsonWriter& j) { writeAlertSeriesBody(j, rows, range); });
        }
        case AnalyticsQuery::device_series: {
            std::vector<DeviceBucket> rows;
            QueryOutcome o = queryDeviceTimeSeries(db, range, rows);
            return answer(res, o, [&](JsonWriter& j) { writeDeviceSeriesBody(j, rows, range); });
        }
        case AnalyticsQuery::top_talkers: {
            TopTalkers t;
            QueryOutcome o = queryTopTalkers(db, range, t);
            return answer(res, o, [&](JsonWriter& j) { writeTopTalkersBody(j, t); });
        }
        case AnalyticsQuery::lifetime: {
            LifetimeStats s;
            QueryOutcome o = queryLifetimeStats(db, s);
            return answer(res, o, [&](JsonWriter& j) { writeLifetimeStatsBody(j, s); });
        }
    }
    return replyFixed(res, kReplyQueryFailed);
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
