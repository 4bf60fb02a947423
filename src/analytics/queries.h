// queries.h: the analytics answers read from the database.
//
// Each function runs one query on a pooled connection, writes the complete
// JSON body into `body` (replacing its contents) and returns the HTTP status
// to send: 200 with the data, or 500 with {"error":"query failed"} after
// logging the failure. A failed acquire counts as a failed query. The
// handlers call these only when persistence is configured; without it they
// send the fixed bodies of range.h.
//
// Thread-safe: any HTTP worker may call them (the pool serialises access).
#pragma once

#include <string>

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

// {"buckets":[{"t":..,"total":..,"syslog":..,"cef":..,"dhcp":..,"dns":..},...],
//  "range":"<interval>","bucket":"<bucket>"}
u16 queryEventTimeSeries(Persistence& db, RangeParams range, std::string& body);
// Rows {"t","total","critical","high","medium","low","info"}.
u16 queryAlertTimeSeries(Persistence& db, RangeParams range, std::string& body);
// Rows {"t","discovered","fingerprinted"}.
u16 queryDeviceTimeSeries(Persistence& db, RangeParams range, std::string& body);
// {"talkers":[{"ip":"..","count":n},...]}, busiest first, at most 10.
u16 queryTopTalkers(Persistence& db, RangeParams range, std::string& body);
// The 16 lifetime totals in one object; 200 {"error":"no data"} without a row.
u16 queryLifetimeStats(Persistence& db, std::string& body);

}  // namespace tarvex
