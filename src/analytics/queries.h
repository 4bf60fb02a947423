// queries.h: the analytics questions asked of the database and their rows.
//
// Each function runs one query on a pooled connection and fills the
// caller's rows (replacing what they held). A failed query (a failed acquire
// included) is logged and answered QueryOutcome::failed; the API turns the
// rows and the outcome into the endpoint's body and status. The handlers
// call these only when persistence is configured.
//
// Thread-safe: any HTTP worker may call them (the pool serialises access);
// the rows belong to the caller.
#pragma once

#include <string_view>
#include <vector>

#include "analytics/range.h"
#include "common/types.h"
#include "storage/persistence.h"

namespace tarvex {

namespace sql {
inline constexpr const char* kEventSeries =
    "SELECT EXTRACT(EPOCH FROM date_trunc($1, event_time))::bigint AS bucket, COUNT(*) AS total, "
    "COUNT(*) FILTER (WHERE event_type = 0) AS syslog, COUNT(*) FILTER (WHERE event_type = 1) AS "
    "cef, COUNT(*) FILTER (WHERE event_type = 2) AS dhcp, COUNT(*) FILTER (WHERE event_type = 3) "
    "AS dns FROM siem.events WHERE event_time >= now() - $2::interval GROUP BY 1 ORDER BY 1";
inline constexpr const char* kAlertSeries =
    "SELECT EXTRACT(EPOCH FROM date_trunc($1, created_at))::bigint AS bucket, COUNT(*) AS total, "
    "COUNT(*) FILTER (WHERE severity = 'critical') AS critical, COUNT(*) FILTER (WHERE severity = "
    "'high') AS high, COUNT(*) FILTER (WHERE severity = 'medium') AS medium, COUNT(*) FILTER "
    "(WHERE severity = 'low') AS low, COUNT(*) FILTER (WHERE severity = 'info') AS info FROM "
    "siem.alerts WHERE created_at >= now() - $2::interval GROUP BY 1 ORDER BY 1";
inline constexpr const char* kDeviceSeries =
    "SELECT EXTRACT(EPOCH FROM date_trunc($1, first_seen))::bigint AS bucket, COUNT(*) AS "
    "discovered, COUNT(*) FILTER (WHERE category IS NOT NULL AND category != '') AS fingerprinted "
    "FROM siem.devices WHERE first_seen >= now() - $2::interval GROUP BY 1 ORDER BY 1";
inline constexpr const char* kTopTalkers =
    "SELECT host(source_ip) AS ip, COUNT(*) AS event_count FROM siem.events WHERE event_time >= "
    "now() - $1::interval AND source_ip IS NOT NULL GROUP BY source_ip ORDER BY event_count DESC "
    "LIMIT 10";
inline constexpr const char* kLifetimeStats =
    "SELECT (SELECT COUNT(*) FROM siem.events) AS total_events, (SELECT COUNT(*) FROM "
    "siem.devices) AS total_devices, (SELECT COUNT(*) FROM siem.alerts) AS total_alerts, (SELECT "
    "COUNT(*) FROM siem.events WHERE event_type = 0) AS syslog_events, (SELECT COUNT(*) FROM "
    "siem.events WHERE event_type = 1) AS cef_events, (SELECT COUNT(*) FROM siem.events WHERE "
    "event_type = 2) AS dhcp_events, (SELECT COUNT(*) FROM siem.events WHERE event_type = 3) AS "
    "dns_events, (SELECT COUNT(*) FROM siem.alerts WHERE severity = 'critical') AS "
    "critical_alerts, (SELECT COUNT(*) FROM siem.alerts WHERE severity = 'high') AS high_alerts, "
    "(SELECT COUNT(*) FROM siem.alerts WHERE severity = 'medium') AS medium_alerts, (SELECT "
    "COUNT(*) FROM siem.alerts WHERE severity = 'low') AS low_alerts, (SELECT COUNT(*) FROM "
    "siem.alerts WHERE severity = 'info') AS info_alerts, (SELECT EXTRACT(EPOCH FROM "
    "MIN(event_time))::bigint FROM siem.events) AS first_event_at, (SELECT EXTRACT(EPOCH FROM "
    "MAX(event_time))::bigint FROM siem.events) AS last_event_at, (SELECT COUNT(*) FROM "
    "siem.cases) AS total_cases, (SELECT COUNT(DISTINCT source_ip) FROM siem.events WHERE "
    "source_ip IS NOT NULL) AS unique_source_ips";
}  // namespace sql

// How a query ended.
enum class QueryOutcome : u8 {
    rows,    // the rows were read
    failed,  // the query failed (logged), or a lifetime total was unreadable (not logged)
    no_row,  // the lifetime query returned no row
};

// One bucket of each series, in the column order of its query. Counts that
// are NULL or unreadable are 0.
struct EventBucket {
    i64 t, total, syslog, cef, dhcp, dns;
};
struct AlertBucket {
    i64 t, total, critical, high, medium, low, info;
};
struct DeviceBucket {
    i64 t, discovered, fingerprinted;
};

// Buckets oldest first, one per bucket that has rows; any number of them
// (events dated in the future add buckets past now).
QueryOutcome queryEventTimeSeries(Persistence& db, RangeParams range,
                                  std::vector<EventBucket>& rows);
QueryOutcome queryAlertTimeSeries(Persistence& db, RangeParams range,
                                  std::vector<AlertBucket>& rows);
QueryOutcome queryDeviceTimeSeries(Persistence& db, RangeParams range,
                                   std::vector<DeviceBucket>& rows);

// The LIMIT of sql::kTopTalkers.
constexpr u32 kMaxTopTalkers = 10;
// host() of an inet is at most 45 characters (an IPv6 address with an IPv4
// tail); longer text is cut.
constexpr u32 kTalkerIpBytes = 64;

struct TopTalker {
    i64 count;
    char ip[kTalkerIpBytes];  // host() of the source address; empty for NULL
    u8 ip_len;

    std::string_view getIp() const { return {ip, ip_len}; }
};

struct TopTalkers {
    u32 count;
    TopTalker rows[kMaxTopTalkers];  // busiest first
};

QueryOutcome queryTopTalkers(Persistence& db, RangeParams range, TopTalkers& out);

// The 16 lifetime totals, in the column order of sql::kLifetimeStats. NULL
// is 0 (first_event_at and last_event_at of an empty table).
struct LifetimeStats {
    i64 total_events, total_devices, total_alerts;
    i64 syslog_events, cef_events, dhcp_events, dns_events;
    i64 critical_alerts, high_alerts, medium_alerts, low_alerts, info_alerts;
    i64 first_event_at, last_event_at;
    i64 total_cases, unique_source_ips;
};

QueryOutcome queryLifetimeStats(Persistence& db, LifetimeStats& out);

}  // namespace tarvex
