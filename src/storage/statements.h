// statements.h: the statements of the database write path, and their texts.
//
// DbStatements writes over a PgPool what the persistence thread has gathered:
// the pending events of an EventBatch (one transaction, one insert over four
// unnested arrays), device rows and graph snapshots (many rows per
// statement), one alert or alert status change at a time, and the retention purge. Each call leases
// what it needs from the pool, logs its own failures under "persistence", and
// is done when it returns.
//
// Not synchronised: one thread uses an object (the persistence thread, or a
// test or benchmark that made its own over a pool of its own); it keeps its
// parameter buffers between calls. The pool is thread-safe, so readers may use
// it meanwhile.
#pragma once

#include <string>
#include <vector>

#include "common/error.h"
#include "common/types.h"
#include "intel/indicator.h"
#include "pg/pool.h"
#include "storage/db_records.h"
#include "storage/persistence_batch.h"

namespace tarvex {

namespace sql {
// The event insert for a whole batch in one statement: one row per element
// of four parallel arrays (type as smallint, source address as inet or NULL,
// raw text, epoch seconds through to_timestamp), in array order.
inline constexpr const char* kEventInsertArrays =
    "INSERT INTO siem.events (event_type, source_ip, raw_data, event_time) SELECT t::smallint, "
    "ip::inet, raw, to_timestamp(ts) FROM unnest($1::smallint[], $2::text[], $3::text[], "
    "$4::float8[]) AS u(t, ip, raw, ts)";
// $9 is the daemon's alert id, $10 the number of waves behind the alert.
inline constexpr const char* kAlertInsert =
    "INSERT INTO siem.alerts (title, description, severity, source_mac, surprise_score, evidence, "
    "source_ip, dest_ip, alert_id, collision_wave_count) VALUES ($1, $2, $3::siem.alert_severity, "
    "$4::macaddr, $5, $6, $7::inet, $8::inet, $9, $10)";
// A triage change: $1 the daemon's alert id, $2 the status text, $3 the note
// (NULL when empty), $4 the time of the change in epoch seconds.
inline constexpr const char* kAlertStatusUpdate =
    "UPDATE siem.alerts SET status = $2, note = $3, status_changed_at = to_timestamp($4) WHERE "
    "alert_id = $1";
// A threat indicator of the API: $1 type, $2 value, $3 source, $4 severity,
// $5 expiry and $6 creation in epoch seconds (an expiry of 0 is NULL, never).
inline constexpr const char* kIndicatorUpsert =
    "INSERT INTO siem.indicators (indicator_type, value, source, severity, expires_at, "
    "created_at) VALUES ($1, $2, $3, $4::siem.alert_severity, CASE WHEN $5::float8 = 0 THEN NULL "
    "ELSE to_timestamp($5::float8) END, to_timestamp($6::float8)) ON CONFLICT (indicator_type, "
    "value) DO UPDATE SET source = EXCLUDED.source, severity = EXCLUDED.severity, expires_at = "
    "EXCLUDED.expires_at";
inline constexpr const char* kPurge =
    "DELETE FROM siem.events WHERE event_time < now() - ($1 || ' days')::interval";
}  // namespace sql

// Fills the four array literals of kEventInsertArrays with the pending events
// of `b` that have raw text, oldest first; returns how many.
u32 appendEventArrays(const EventBatch& b, std::string (&arrays)[4]);

class DbStatements {
  public:
    // `rows_per_statement` bounds the device and graph upserts (at least 1).
    explicit DbStatements(PgPool& pool, u32 rows_per_statement = 1000);
    DbStatements(const DbStatements&) = delete;
    DbStatements& operator=(const DbStatements&) = delete;

    // Writes the pending events of `batch` that have raw text in one
    // transaction with one multi-row insert; returns how many. Nothing is
    // asked of the database when nothing is pending. The batch is only read:
    // its owner marks it flushed after a success and keeps it after a
    // failure. Errors: ConnectionFailed, TransactionFailed, InsertFailed,
    // CommitFailed.
    Result<u32> writeEvents(const EventBatch& batch);

    // Upserts several devices (distinct addresses) in statements of many
    // rows. Returns the number of rows whose statement failed.
    u32 upsertDevices(const DeviceRow* rows, u32 count);

    Err insertAlert(const AlertRow& row);
    // Writes a triage change to the alert's row (none when the alert was
    // never stored, e.g. a collision alert). Logs "warning(persistence):
    // failed to update alert {id}: {error}" on failure.
    Err updateAlertStatus(const AlertStatusRow& row);
    // Writes one indicator of the API (a second of the same type and value
    // updates its source, severity and expiry). Logs "warning(persistence):
    // failed to write indicator: {error}" on failure.
    Err upsertIndicator(const Indicator& ind);

    // Upserts every node of the snapshot, then every edge, many rows per
    // statement; each logs its summary line when it attempted anything.
    // Nodes that share a name and type share a row, the later slot winning.
    void writeGraph(const GraphSnapshot& snap);

    // Deletes the events older than `days` days.
    void purgeOldEvents(u32 days);

  private:
    void writeNodes(const GraphSnapshot& snap);
    void writeEdges(const GraphSnapshot& snap);

    PgPool& pool_;
    const u32 rows_per_statement_;
    std::vector<PgParam> params_;
    std::string event_arrays_[4];
    // The node slots (edge rows) one upsert pass writes, in order.
    std::vector<u32> rows_;
    // Per snapshot: the slot whose row each node slot shares (writeNodes),
    // and whether any two nodes share one.
    std::vector<u32> canon_;
    bool has_duplicates_ = false;
};

}  // namespace tarvex
