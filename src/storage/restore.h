// restore.h: reloading devices, graph and open alerts at start.
//
// restoreFromDb runs once, on its own thread, when a database is configured.
// It reads device rows, graph nodes, graph edges and open alerts (newest
// first, at most 1000) and applies them to the in-memory tables, in four
// phases with their own log lines; a failed phase is logged and the next one
// runs. The listener may already be processing events: each phase reads its
// rows first and then applies them to the EngineState in batches, holding
// its lock exclusively for one batch at a time, so the pipeline and HTTP
// readers only ever wait for one batch.
#pragma once

#include <optional>
#include <string_view>

#include "common/error.h"
#include "engine_state.h"
#include "intel/indicators.h"
#include "storage/persistence.h"

namespace tarvex {

namespace sql {
inline constexpr const char* kRestoreDevices =
    "SELECT mac::text, label, category, confidence, signal_count, EXTRACT(EPOCH FROM "
    "last_seen)::bigint, EXTRACT(EPOCH FROM created_at)::bigint, hostname, vendor, user_name, "
    "user_kind FROM siem.devices ORDER BY last_seen DESC";
inline constexpr const char* kRestoreNodes =
    "SELECT name, node_type::text, activation, access_count, EXTRACT(EPOCH FROM "
    "last_activated)::bigint FROM siem.graph_nodes";
inline constexpr const char* kRestoreEdges =
    "SELECT n1.name, n1.node_type::text, n2.name, n2.node_type::text, e.edge_type::text, "
    "e.weight, e.reinforcement_count FROM siem.graph_edges e JOIN siem.graph_nodes n1 ON "
    "e.source_id = n1.id JOIN siem.graph_nodes n2 ON e.target_id = n2.id";
// Columns 10 to 12 (the daemon's alert id, the triage note and the time of
// the last status change) bring an alert back as it was.
inline constexpr const char* kRestoreAlerts =
    "SELECT title, description, severity::text, status::text, surprise_score, "
    "collision_wave_count, EXTRACT(EPOCH FROM created_at)::bigint, evidence, host(source_ip), "
    "host(dest_ip), alert_id, note, EXTRACT(EPOCH FROM status_changed_at)::bigint FROM "
    "siem.alerts WHERE status != 'resolved' AND status != 'false_positive' ORDER BY created_at "
    "DESC LIMIT 1000";
// The indicators of the API, oldest first.
inline constexpr const char* kRestoreIndicators =
    "SELECT indicator_type, value, source, severity::text, COALESCE(EXTRACT(EPOCH FROM "
    "expires_at)::bigint, 0), EXTRACT(EPOCH FROM created_at)::bigint FROM siem.indicators ORDER "
    "BY id LIMIT 16384";
}  // namespace sql

// Rows applied per hold of the state lock.
constexpr u32 kRestoreRowsPerLock = 256;

// Runs the four phases and logs "info(main): restore complete: ...", then
// brings back the threat indicators into `indicators` when given.
void restoreFromDb(Persistence& db, EngineState& t, IndicatorStore* indicators = nullptr);

// The phases: records restored, or the query's error.
Result<u32> restoreDevices(PgPool& pool, EngineState& t);
Result<u32> restoreGraph(PgPool& pool, EngineState& t);
Result<u32> restoreEdges(PgPool& pool, EngineState& t);
Result<u32> restoreAlerts(PgPool& pool, EngineState& t);
// Logs "info(persistence): restored {} indicators" (those not already in
// the store: a file may have named them).
Result<u32> restoreIndicators(PgPool& pool, IndicatorStore& store);

// Starts restoreFromDb on a detached thread (16 MiB stack, 4 KiB guard).
Err spawnRestoreThread(Persistence& db, EngineState& t, IndicatorStore* indicators = nullptr);

// Whole-text, case-sensitive matches of the enumerator names.
std::optional<NodeType> parseNodeType(std::string_view text);
std::optional<EdgeType> parseEdgeType(std::string_view text);
// Unknown texts give info.
AlertSeverity parseSeverity(std::string_view text);

}  // namespace tarvex
