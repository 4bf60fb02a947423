// queries.cpp: the analytics queries and the rows read from them.
#include "analytics/queries.h"

#include <algorithm>

#include "common/log.h"
#include "common/text.h"

namespace tarvex {

namespace {

// A count column: NULL or unreadable values are 0.
i64 countAt(const PgRows& rows, int col) {
    Result<i64> v = rows.getI64(col);
    return v.ok() ? v.value : 0;
}

// One series: `columns[i]` is the field that column i of each row fills.
template <class Row, size_t N>
QueryOutcome series(Persistence& db, const char* query, RangeParams range,
                    i64 Row::*const (&columns)[N], std::string_view failure_line,
                    std::vector<Row>& out) {
    out.clear();
    Result<PgRows> rows = db.pool().query(query, {range.bucket, range.interval});
    if (!rows.ok()) {
        logWarn("analytics", failure_line, rows.err);
        return QueryOutcome::failed;
    }
    out.reserve(static_cast<size_t>(std::max(rows.value.rowCount(), 0)));
    while (rows.value.next()) {
        Row r{};
        for (size_t c = 0; c < N; ++c) r.*columns[c] = countAt(rows.value, static_cast<int>(c));
        out.push_back(r);
    }
    return QueryOutcome::rows;
}

}  // namespace

QueryOutcome queryEventTimeSeries(Persistence& db, RangeParams range,
                                  std::vector<EventBucket>& rows) {
    static constexpr i64 EventBucket::*columns[] = {
        &EventBucket::t,   &EventBucket::total, &EventBucket::syslog,
        &EventBucket::cef, &EventBucket::dhcp,  &EventBucket::dns,
    };
    return series(db, sql::kEventSeries, range, columns, "event time series query failed: {}",
                  rows);
}

QueryOutcome queryAlertTimeSeries(Persistence& db, RangeParams range,
                                  std::vector<AlertBucket>& rows) {
    static constexpr i64 AlertBucket::*columns[] = {
        &AlertBucket::t,      &AlertBucket::total, &AlertBucket::critical, &AlertBucket::high,
        &AlertBucket::medium, &AlertBucket::low,   &AlertBucket::info,
    };
    return series(db, sql::kAlertSeries, range, columns, "alert time series query failed: {}",
                  rows);
}

QueryOutcome queryDeviceTimeSeries(Persistence& db, RangeParams range,
                                   std::vector<DeviceBucket>& rows) {
    static constexpr i64 DeviceBucket::*columns[] = {
        &DeviceBucket::t,
        &DeviceBucket::discovered,
        &DeviceBucket::fingerprinted,
    };
    return series(db, sql::kDeviceSeries, range, columns, "device time series query failed: {}",
                  rows);
}

QueryOutcome queryTopTalkers(Persistence& db, RangeParams range, TopTalkers& out) {
    out.count = 0;
    Result<PgRows> rows = db.pool().query(sql::kTopTalkers, {range.interval});
    if (!rows.ok()) {
        logWarn("analytics", "top talkers query failed: {}", rows.err);
        return QueryOutcome::failed;
    }
    while (out.count < kMaxTopTalkers && rows.value.next()) {
        TopTalker& t = out.rows[out.count++];
        copyBounded(t.ip, t.ip_len, rows.value.getText(0).value_or(""));
        t.count = countAt(rows.value, 1);
    }
    return QueryOutcome::rows;
}

QueryOutcome queryLifetimeStats(Persistence& db, LifetimeStats& out) {
    static constexpr i64 LifetimeStats::*columns[] = {
        &LifetimeStats::total_events,   &LifetimeStats::total_devices,
        &LifetimeStats::total_alerts,   &LifetimeStats::syslog_events,
        &LifetimeStats::cef_events,     &LifetimeStats::dhcp_events,
        &LifetimeStats::dns_events,     &LifetimeStats::critical_alerts,
        &LifetimeStats::high_alerts,    &LifetimeStats::medium_alerts,
        &LifetimeStats::low_alerts,     &LifetimeStats::info_alerts,
        &LifetimeStats::first_event_at, &LifetimeStats::last_event_at,
        &LifetimeStats::total_cases,    &LifetimeStats::unique_source_ips,
    };
    out = LifetimeStats{};
    Result<PgRows> rows = db.pool().query(sql::kLifetimeStats);
    if (!rows.ok()) {
        logWarn("lifetime_stats", "lifetime stats query failed: {}", rows.err);
        return QueryOutcome::failed;
    }
    if (!rows.value.next()) return QueryOutcome::no_row;
    for (size_t c = 0; c < std::size(columns); ++c) {
        i64 v = 0;
        if (!rows.value.isNull(static_cast<int>(c))) {
            Result<i64> r = rows.value.getI64(static_cast<int>(c));
            if (!r.ok()) return QueryOutcome::failed;
            v = r.value;
        }
        out.*columns[c] = v;
    }
    return QueryOutcome::rows;
}

}  // namespace tarvex
