// statements.cpp: the event, device, alert, graph and purge statements.
#include "storage/statements.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string>
#include <unordered_map>

#include "common/log.h"
#include "common/mac.h"

namespace tarvex {

namespace {

// "($1::t, ...)" rows of `cols` placeholders with the given per-column text
// around each placeholder: before[c] + "$n" + after[c].
void appendRows(std::string& sql, u32 rows, std::initializer_list<const char*> before,
                std::initializer_list<const char*> after, const char* row_tail = ")") {
    u32 cols = static_cast<u32>(before.size());
    for (u32 r = 0; r < rows; ++r) {
        if (r) sql += ", ";
        sql += '(';
        for (u32 c = 0; c < cols; ++c) {
            if (c) sql += ", ";
            sql += before.begin()[c];
            sql += '$';
            sql += std::to_string(r * cols + c + 1);
            sql += after.begin()[c];
        }
        sql += row_tail;
    }
}

std::string nodeUpsertSql(u32 rows) {
    std::string sql =
        "INSERT INTO siem.graph_nodes (name, node_type, activation, access_count, "
        "last_activated) VALUES ";
    appendRows(sql, rows, {"", "", "", "", "to_timestamp("}, {"", "", "::real", "::integer", ")"});
    sql +=
        " ON CONFLICT (name, node_type) DO UPDATE SET activation = EXCLUDED.activation, "
        "access_count = EXCLUDED.access_count, last_activated = EXCLUDED.last_activated";
    return sql;
}

// The edge upsert over many rows: each row names its endpoints by name and
// type; rows whose endpoints are not stored yet insert nothing.
std::string edgeUpsertSql(u32 rows) {
    std::string sql =
        "INSERT INTO siem.graph_edges (source_id, target_id, edge_type, weight, "
        "reinforcement_count) SELECT n1.id, n2.id, v.edge_type, v.weight, v.reinforcement_count "
        "FROM (VALUES ";
    appendRows(sql, rows, {"", "", "", "", "", "", ""},
               {"::text", "::text", "::text", "::real", "::smallint", "::text", "::text"});
    sql +=
        ") AS v(source_name, target_name, edge_type, weight, reinforcement_count, source_type, "
        "target_type) JOIN siem.graph_nodes n1 ON n1.name = v.source_name AND n1.node_type = "
        "v.source_type JOIN siem.graph_nodes n2 ON n2.name = v.target_name AND n2.node_type = "
        "v.target_type ON CONFLICT (source_id, target_id, edge_type) DO UPDATE SET weight = "
        "EXCLUDED.weight, reinforcement_count = EXCLUDED.reinforcement_count, last_seen = now()";
    return sql;
}

// Host name and vendor keep their stored value when the row has none; the
// user's name and kind keep theirs when the row passes NULL (the listener
// has not heard the database's word on them yet).
std::string deviceUpsertSql(u32 rows) {
    std::string sql =
        "INSERT INTO siem.devices (mac, label, category, confidence, signal_count, hostname, "
        "vendor, user_name, user_kind, last_seen) VALUES ";
    appendRows(sql, rows, {"", "", "", "", "", "", "", "", ""},
               {"::macaddr", "", "", "::real", "::integer", "", "", "", ""}, ", now())");
    sql +=
        " ON CONFLICT (mac) DO UPDATE SET label = EXCLUDED.label, category = EXCLUDED.category, "
        "confidence = EXCLUDED.confidence, signal_count = EXCLUDED.signal_count, hostname = "
        "COALESCE(EXCLUDED.hostname, siem.devices.hostname), vendor = COALESCE(EXCLUDED.vendor, "
        "siem.devices.vendor), user_name = COALESCE(EXCLUDED.user_name, siem.devices.user_name), "
        "user_kind = COALESCE(EXCLUDED.user_kind, siem.devices.user_kind), last_seen = now()";
    return sql;
}

// Upserts `count` rows in statements of at most `per_statement` rows, all
// over one connection leased for the lot (none when there is nothing to
// write). For each statement, fill(first, n) appends the parameters of rows
// first .. first+n-1 to `params`, `sql(n)` is its text, and done(first, n, e)
// learns how it went (e is the lease's error when no connection was had).
template <class Fill, class Done>
void upsertInChunks(PgPool& pool, std::vector<PgParam>& params, u32 count, u32 per_statement,
                    std::string (*sql)(u32), Fill&& fill, Done&& done) {
    if (count == 0) return;
    Result<PgLease> lease = pool.lease();
    for (u32 first = 0; first < count; first += per_statement) {
        u32 n = std::min(per_statement, count - first);
        params.clear();
        fill(first, n);
        Err e = lease.ok() ? lease.value->exec(sql(n).c_str(), std::span<const PgParam>(params))
                           : lease.err;
        done(first, n, e);
    }
}

// One graph upsert pass over `rows` (node slots or edge rows), each standing
// for represented[row] rows of the snapshot; fill(row) appends one row's
// parameters. Counts the rows saved and failed, logs the first failed
// statement with `error_line` and, when it attempted anything, the counts
// with `summary_line`.
template <class Fill>
void graphPass(PgPool& pool, std::vector<PgParam>& params, const std::vector<u32>& rows,
               const std::vector<u32>& represented, u32 per_statement, std::string (*sql)(u32),
               const char* error_line, const char* summary_line, Fill&& fill) {
    u32 saved = 0, failed = 0;
    bool reported = false;
    upsertInChunks(
        pool, params, static_cast<u32>(rows.size()), per_statement, sql,
        [&](u32 first, u32 n) {
            for (u32 k = first; k < first + n; ++k) fill(rows[k]);
        },
        [&](u32 first, u32 n, Err e) {
            u32 slots = 0;
            for (u32 k = first; k < first + n; ++k) slots += represented[rows[k]];
            if (e == Err::None) {
                saved += slots;
            } else {
                failed += slots;
                if (!reported) logWarn("persistence", error_line, e);
                reported = true;
            }
        });
    if (saved + failed > 0) logInfo("persistence", summary_line, saved, failed);
}

// One element of an array literal: quoted, with '"' and '\\' escaped.
void appendArrayText(std::string& a, std::string_view v) {
    if (a.size() > 1) a += ',';
    a += '"';
    for (char c : v) {
        if (c == '"' || c == '\\') a += '\\';
        a += c;
    }
    a += '"';
}

void appendArrayNumber(std::string& a, i64 v) {
    if (a.size() > 1) a += ',';
    char tmp[24];
    auto r = std::to_chars(tmp, tmp + sizeof tmp, v);
    a.append(tmp, static_cast<size_t>(r.ptr - tmp));
}

}  // namespace

u32 appendEventArrays(const EventBatch& b, std::string (&arrays)[4]) {
    for (std::string& a : arrays) a.assign(1, '{');
    u32 rows = 0;
    for (u32 i = 0, n = b.pendingCount(); i < n; ++i) {
        const BufferedEvent& e = b.pending(i);
        if (e.raw_data_len == 0) continue;
        appendArrayNumber(arrays[0], e.event_type);
        if (e.source_ip_len == 0) {
            if (arrays[1].size() > 1) arrays[1] += ',';
            arrays[1] += "NULL";
        } else {
            appendArrayText(arrays[1], e.getSourceIp());
        }
        appendArrayText(arrays[2], e.getData());
        appendArrayNumber(arrays[3], e.timestamp);
        ++rows;
    }
    for (std::string& a : arrays) a += '}';
    return rows;
}

DbStatements::DbStatements(PgPool& pool, u32 rows_per_statement)
    : pool_(pool), rows_per_statement_(std::max<u32>(1, rows_per_statement)) {}

// ---------------------------------------------------------------- events

Result<u32> DbStatements::writeEvents(const EventBatch& b) {
    if (b.event_count == 0) return 0u;

    Result<PgLease> lease = pool_.lease();
    if (!lease.ok()) {
        logWarn("persistence", "failed to acquire connection for event flush: {}", lease.err);
        return Err::ConnectionFailed;
    }
    PgConn& conn = *lease.value;
    Err e = conn.begin();
    if (e != Err::None) {
        logWarn("persistence", "failed to begin transaction for event flush: {}", e);
        return Err::TransactionFailed;
    }
    u32 rows = appendEventArrays(b, event_arrays_);
    if (rows > 0) {
        e = conn.exec(sql::kEventInsertArrays,
                      {event_arrays_[0], event_arrays_[1], event_arrays_[2], event_arrays_[3]});
        if (e != Err::None) {
            u64 first_slot =
                b.event_count <= EventBatch::kSlots ? 0 : b.event_count % EventBatch::kSlots;
            logWarn("persistence", "failed to insert event {}: {}", first_slot, e);
            conn.rollback();
            return Err::InsertFailed;
        }
    }
    e = conn.commit();
    if (e != Err::None) {
        logWarn("persistence", "failed to commit event flush: {}", e);
        return Err::CommitFailed;
    }
    return rows;
}

// ---------------------------------------------------------------- devices

u32 DbStatements::upsertDevices(const DeviceRow* rows, u32 count) {
    if (count == 0) return 0;
    struct Texts {
        char mac[17];
        char label[64];
        u8 label_len;
        u8 hostname_len;
        u8 vendor_len;
        u8 user_name_len;
        u8 user_kind_len;
        char hostname[64];
        char vendor[64];
        char user_name[64];
        char user_kind[32];
    };
    std::vector<Texts> texts(std::min(count, rows_per_statement_));
    u32 failed = 0;
    upsertInChunks(
        pool_, params_, count, rows_per_statement_, deviceUpsertSql,
        [&](u32 first, u32 n) {
            for (u32 i = 0; i < n; ++i) {
                const DeviceRow& r = rows[first + i];
                Texts& t = texts[i];
                formatMac(r.mac, t.mac);
                std::string_view label = copyStorable(t.label, t.label_len, r.getLabel());
                params_.emplace_back(std::string_view(t.mac, 17));
                params_.emplace_back(label);
                params_.emplace_back("unknown");
                params_.emplace_back(r.confidence);
                params_.emplace_back(static_cast<i64>(r.signal_count));
                const std::string_view host =
                    copyStorable(t.hostname, t.hostname_len, r.getHostname());
                const std::string_view vendor = copyStorable(t.vendor, t.vendor_len, r.getVendor());
                params_.push_back(host.empty() ? PgParam(nullptr) : PgParam(host));
                params_.push_back(vendor.empty() ? PgParam(nullptr) : PgParam(vendor));
                if (r.user_known) {
                    params_.emplace_back(
                        copyStorable(t.user_name, t.user_name_len, r.getUserName()));
                    params_.emplace_back(
                        copyStorable(t.user_kind, t.user_kind_len, r.getUserKind()));
                } else {
                    params_.emplace_back(nullptr);
                    params_.emplace_back(nullptr);
                }
            }
        },
        [&](u32, u32 n, Err e) {
            if (e == Err::None) return;
            failed += n;
            for (u32 i = 0; i < n; ++i) {
                logWarn("persistence", "failed to upsert device {}: {}",
                        std::string_view(texts[i].mac, 17), e);
                logWarn("pipeline", "failed to persist device: {}", e);
            }
        });
    return failed;
}

// ---------------------------------------------------------------- alerts

Err DbStatements::insertAlert(const AlertRow& row) {
    char mac[17];
    formatMac(row.source_mac, mac);
    Err e =
        pool_.exec(sql::kAlertInsert,
                   {std::string_view(row.title, row.title_len),
                    std::string_view(row.description, row.description_len),
                    severityName(row.severity), std::string_view(mac, 17), row.surprise_score,
                    PgParam::textOrNull(std::string_view(row.evidence, row.evidence_len)),
                    PgParam::textOrNull(std::string_view(row.source_ip, row.source_ip_len)),
                    PgParam::textOrNull(std::string_view(row.dest_ip, row.dest_ip_len)),
                    static_cast<i64>(row.alert_id), static_cast<i64>(row.collision_wave_count)});
    if (e != Err::None) logWarn("persistence", "failed to insert alert: {}", e);
    return e;
}

Err DbStatements::updateAlertStatus(const AlertStatusRow& row) {
    Err e = pool_.exec(sql::kAlertStatusUpdate,
                       {static_cast<i64>(row.alert_id), statusName(row.status),
                        PgParam::textOrNull(row.getNote()), static_cast<f64>(row.changed_at)});
    if (e != Err::None) logWarn("persistence", "failed to update alert {}: {}", row.alert_id, e);
    return e;
}

Err DbStatements::upsertIndicator(const Indicator& ind) {
    Err e = pool_.exec(sql::kIndicatorUpsert,
                       {indicatorTypeName(ind.indicator_type), ind.getValue(), ind.getSource(),
                        indicatorSeverityName(ind.severity), static_cast<f64>(ind.expiry),
                        static_cast<f64>(ind.created_at)});
    if (e != Err::None) logWarn("persistence", "failed to write indicator: {}", e);
    return e;
}

// ---------------------------------------------------------------- graph

void DbStatements::writeGraph(const GraphSnapshot& snap) {
    writeNodes(snap);
    writeEdges(snap);
}

void DbStatements::writeNodes(const GraphSnapshot& snap) {
    // Two nodes of one name and type (a graph may hold both) share one row;
    // the later slot's values win, as they would row by row. `canon_` maps
    // each slot to the slot whose row is written.
    canon_.assign(kMaxNodes, UINT32_MAX);
    std::vector<u32> represented(kMaxNodes, 0);  // slots each written row stands for
    has_duplicates_ = false;
    std::unordered_map<std::string, u32> seen;
    for (u32 i = kMaxNodes; i-- > 0;) {
        const auto& n = snap.nodes[i];
        if (!n.present) continue;
        std::string key(1, static_cast<char>(n.node_type));
        key.append(n.name.slice());
        auto [it, fresh] = seen.emplace(std::move(key), i);
        canon_[i] = it->second;
        represented[it->second] += 1;
        if (!fresh) has_duplicates_ = true;
    }
    rows_.clear();
    for (u32 i = 0; i < kMaxNodes; ++i) {
        if (snap.nodes[i].present && canon_[i] == i) rows_.push_back(i);
    }

    graphPass(pool_, params_, rows_, represented, rows_per_statement_, nodeUpsertSql,
              "graph node persist error: {}", "graph persist: {} nodes saved, {} failed",
              [&](u32 slot) {
                  const auto& n = snap.nodes[slot];
                  params_.emplace_back(n.name.slice());
                  params_.emplace_back(nodeTypeName(n.node_type));
                  params_.emplace_back(n.activation);
                  // integer: a saturated access count is stored as its maximum.
                  params_.emplace_back(std::min<u32>(n.access_count, INT32_MAX));
                  params_.emplace_back(static_cast<f64>(n.last_activated));
              });
}

void DbStatements::writeEdges(const GraphSnapshot& snap) {
    // With duplicate nodes, two edges may name the same stored row; keep the
    // later one. writeNodes(snap) has filled canon_ for this snapshot.
    std::vector<u32> represented(snap.edge_rows, 1);  // 0: merged into a later edge
    if (has_duplicates_) {
        std::unordered_map<u64, u32> seen;
        for (u32 k = snap.edge_rows; k-- > 0;) {
            const auto& e = snap.edges[k];
            u64 key = (static_cast<u64>(canon_[e.source]) << 20) |
                      (static_cast<u64>(canon_[e.target]) << 4) | static_cast<u64>(e.edge_type);
            auto [it, fresh] = seen.emplace(key, k);
            if (!fresh) {
                represented[k] = 0;
                represented[it->second] += 1;
            }
        }
    }
    rows_.clear();
    for (u32 k = 0; k < snap.edge_rows; ++k) {
        if (represented[k] != 0) rows_.push_back(k);
    }

    graphPass(
        pool_, params_, rows_, represented, rows_per_statement_, edgeUpsertSql,
        "graph edge persist error: {}", "edge persist: {} edges saved, {} failed", [&](u32 k) {
            const auto& e = snap.edges[k];
            const auto& s = snap.nodes[e.source];
            const auto& t = snap.nodes[e.target];
            params_.emplace_back(s.name.slice());
            params_.emplace_back(t.name.slice());
            params_.emplace_back(edgeTypeName(e.edge_type));
            params_.emplace_back(e.weight);
            // smallint: a count past its range is stored as its maximum.
            params_.emplace_back(static_cast<i32>(std::min<u16>(e.reinforcement_count, 32767)));
            params_.emplace_back(nodeTypeName(s.node_type));
            params_.emplace_back(nodeTypeName(t.node_type));
        });
}

// ---------------------------------------------------------------- purge

void DbStatements::purgeOldEvents(u32 days) {
    std::string d = std::to_string(days);
    Err e = pool_.exec(sql::kPurge, {d});
    if (e == Err::None) {
        logInfo("persistence", "purged events older than {} days", days);
    } else {
        logWarn("persistence", "failed to purge old events: {}", e);
    }
}

}  // namespace tarvex
