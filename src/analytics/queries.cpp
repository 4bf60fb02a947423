// queries.cpp: the analytics queries and the bodies written from their rows.
#include "analytics/queries.h"

#include <charconv>

#include "api/json.h"
#include "common/log.h"

namespace tarvex {

namespace {

void appendI64(std::string& out, i64 v) {
    char tmp[24];
    auto r = std::to_chars(tmp, tmp + sizeof tmp, v);
    out.append(tmp, static_cast<size_t>(r.ptr - tmp));
}

// A count column: NULL or unreadable values are 0.
i64 countAt(const PgRows& rows, int col) {
    Result<i64> v = rows.getI64(col);
    return v.ok() ? v.value : 0;
}

u16 queryFailed(std::string& body) {
    body.assign(kReplyQueryFailed.body);
    return kReplyQueryFailed.status;
}

// One series: `keys[i]` names column i of each row object.
template <size_t N>
u16 series(Persistence& db, const char* query, RangeParams range, const char* (&keys)[N],
           std::string_view failure_line, std::string& body) {
    Result<PgRows> rows = db.pool().query(query, {range.bucket, range.interval});
    if (!rows.ok()) {
        logWarn("analytics", failure_line, rows.err);
        return queryFailed(body);
    }
    body.assign("{\"buckets\":[");
    bool first = true;
    while (rows.value.next()) {
        if (!first) body += ',';
        first = false;
        body += '{';
        for (size_t c = 0; c < N; ++c) {
            if (c) body += ',';
            body += '"';
            body += keys[c];
            body += "\":";
            appendI64(body, countAt(rows.value, static_cast<int>(c)));
        }
        body += '}';
    }
    body += "],\"range\":\"";
    body += range.interval;
    body += "\",\"bucket\":\"";
    body += range.bucket;
    body += "\"}";
    return 200;
}

}  // namespace

u16 queryEventTimeSeries(Persistence& db, RangeParams range, std::string& body) {
    static const char* keys[] = {"t", "total", "syslog", "cef", "dhcp", "dns"};
    return series(db, sql::kEventSeries, range, keys, "event time series query failed: {}", body);
}

u16 queryAlertTimeSeries(Persistence& db, RangeParams range, std::string& body) {
    static const char* keys[] = {"t", "total", "critical", "high", "medium", "low", "info"};
    return series(db, sql::kAlertSeries, range, keys, "alert time series query failed: {}", body);
}

u16 queryDeviceTimeSeries(Persistence& db, RangeParams range, std::string& body) {
    static const char* keys[] = {"t", "discovered", "fingerprinted"};
    return series(db, sql::kDeviceSeries, range, keys, "device time series query failed: {}", body);
}

u16 queryTopTalkers(Persistence& db, RangeParams range, std::string& body) {
    Result<PgRows> rows = db.pool().query(sql::kTopTalkers, {range.interval});
    if (!rows.ok()) {
        logWarn("analytics", "top talkers query failed: {}", rows.err);
        return queryFailed(body);
    }
    body.assign("{\"talkers\":[");
    bool first = true;
    while (rows.value.next()) {
        if (!first) body += ',';
        first = false;
        body += "{\"ip\":";
        FixedText<512> ip;
        appendJsonStr(ip, rows.value.getText(0).value_or(""));
        body.append(ip.view());
        body += ",\"count\":";
        appendI64(body, countAt(rows.value, 1));
        body += '}';
    }
    body += "]}";
    return 200;
}

u16 queryLifetimeStats(Persistence& db, std::string& body) {
    static const char* keys[] = {
        "total_events",   "total_devices", "total_alerts", "syslog_events",
        "cef_events",     "dhcp_events",   "dns_events",   "critical_alerts",
        "high_alerts",    "medium_alerts", "low_alerts",   "info_alerts",
        "first_event_at", "last_event_at", "total_cases",  "unique_source_ips",
    };
    Result<PgRows> rows = db.pool().query(sql::kLifetimeStats);
    if (!rows.ok()) {
        logWarn("lifetime_stats", "lifetime stats query failed: {}", rows.err);
        return queryFailed(body);
    }
    if (!rows.value.next()) {
        body.assign(kReplyNoData.body);
        return kReplyNoData.status;
    }
    body.clear();
    body += '{';
    for (int c = 0; c < 16; ++c) {
        i64 v = 0;
        if (!rows.value.isNull(c)) {
            Result<i64> r = rows.value.getI64(c);
            if (!r.ok()) return queryFailed(body);
            v = r.value;
        }
        if (c) body += ',';
        body += '"';
        body += keys[c];
        body += "\":";
        appendI64(body, v);
    }
    body += '}';
    return 200;
}

}  // namespace tarvex
