// alert_queries.h: what the database knows of alerts beyond the table.
//
// queryHighestAlertId runs once at start, before the listener, so that the
// alerts of this run are numbered above every alert the database holds and a
// row's alert_id names one alert across restarts. queryStoredAlert serves the
// alert detail of an alert that is no longer in memory (its slot was reused);
// it runs on an HTTP handler thread without the state lock. Both use the
// pool the persistence layer opened (thread-safe); each caller passes its own
// output record.
#pragma once

#include <string_view>

#include "alert/manager.h"
#include "common/error.h"
#include "common/types.h"
#include "pg/pool.h"

namespace tarvex {

namespace sql {
inline constexpr const char* kHighestAlertId = "SELECT COALESCE(max(alert_id), 0) FROM siem.alerts";
inline constexpr const char* kStoredAlert =
    "SELECT alert_id, title, description, evidence, severity::text, status::text, "
    "source_mac::text, host(source_ip), host(dest_ip), surprise_score, collision_wave_count, "
    "EXTRACT(EPOCH FROM created_at)::bigint, note, EXTRACT(EPOCH FROM status_changed_at)::bigint "
    "FROM siem.alerts WHERE alert_id = $1 ORDER BY id DESC LIMIT 1";
}  // namespace sql

// The highest alert_id stored (0 for none), cut to the 32-bit id range.
// A failed query logs "warning(persistence): failed to read the highest
// alert id: {}" and returns the error.
Result<u32> queryHighestAlertId(PgPool& pool);

// The stored row of alert `id` as an Alert record (active, with every field
// the detail shows); false when there is no such row or the query failed
// (logged as "warning(persistence): failed to query alert {}: {}").
bool queryStoredAlert(PgPool& pool, u32 id, Alert& out);

}  // namespace tarvex
