// restore.cpp: the four restore phases, their parsers and the thread.
#include "storage/restore.h"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/mac.h"
#include "common/text.h"
#include "common/thread.h"
#include "engine/identity.h"

namespace tarvex {

namespace {

enum class RowRead : u8 { ok, skip, fail };

// Column readers: NULL reads as 0 (or empty text); anything else that does
// not convert is a failure of the row.
bool readI64(const PgRows& rows, int col, i64& out, Err& err) {
    if (rows.isNull(col)) {
        out = 0;
        return true;
    }
    Result<i64> v = rows.getI64(col);
    if (!v.ok()) {
        err = v.err;
        return false;
    }
    out = v.value;
    return true;
}

bool readF32(const PgRows& rows, int col, f32& out, Err& err) {
    if (rows.isNull(col)) {
        out = 0;
        return true;
    }
    Result<f32> v = rows.getF32(col);
    if (!v.ok()) {
        err = v.err;
        return false;
    }
    out = v.value;
    return true;
}

i64 clampI64(i64 v, i64 lo, i64 hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

// Reads every row of one restore query, parsing up to kRestoreRowsPerLock at
// a time without the lock and applying each batch under one exclusive hold.
// `read(rows, row)` parses the current row; `apply(row)` applies it and says
// whether it counts.
template <class Row, class Read, class Apply>
Result<u32> runPhase(PgPool& pool, const char* query, std::string_view what,
                     std::string_view row_name, StateLock& lock, Read read, Apply apply) {
    Result<PgRows> rows = pool.query(query);
    if (!rows.ok()) {
        logWarn("persistence", "failed to query {} for restore: {}", what, rows.err);
        return rows.err;
    }
    std::vector<Row> batch(kRestoreRowsPerLock);
    u32 restored = 0;
    bool more = true;
    while (more) {
        u32 n = 0;
        Err failure = Err::None;
        while (n < kRestoreRowsPerLock) {
            if (!rows.value.next()) {
                more = false;
                break;
            }
            Err e = Err::None;
            RowRead r = read(rows.value, batch[n], e);
            if (r == RowRead::fail) {
                failure = e;
                more = false;
                break;
            }
            if (r == RowRead::ok) ++n;
        }
        if (n > 0) {
            ExclusiveGuard hold(lock);
            for (u32 i = 0; i < n; ++i)
                if (apply(batch[i])) ++restored;
        }
        if (failure != Err::None) {
            logWarn("persistence", "failed to read {} row: {}", row_name, failure);
        }
    }
    return restored;
}

struct DeviceRowIn {
    MacAddr mac;
    f32 confidence;
    i64 signal_count;
    i64 last_seen;
    i64 created_at;
    char label[kLabelCap];
    u8 label_len;
    u8 hostname_len;
    u8 vendor_len;
    u8 user_name_len;
    u8 user_kind_len;
    char hostname[kHostnameCap];
    char vendor[kVendorNameCap];
    char user_name[kLabelCap];
    char user_kind[kUserKindCap];
};

struct NodeRowIn {
    char name[kNameCap + 1];  // one byte over, so a too-long name is refused
    u8 name_len;
    NodeType type;
    f32 activation;
    i64 access_count;
    i64 last_activated;
};

struct EdgeRowIn {
    char source[kNameCap + 1];
    u8 source_len;
    char target[kNameCap + 1];
    u8 target_len;
    NodeType source_type;
    NodeType target_type;
    EdgeType edge_type;
    f32 weight;
    i64 reinforcement_count;
};

struct AlertRowIn {
    char title[kAlertTitleCap];
    u8 title_len;
    u16 description_len;
    u16 evidence_len;
    char description[kAlertDescriptionCap];
    char evidence[kAlertEvidenceCap];
    AlertSeverity severity;
    f32 surprise_score;
    i64 waves;
    char source_ip[kAlertIpCap];
    u8 source_ip_len;
    char dest_ip[kAlertIpCap];
    u8 dest_ip_len;
    bool has_evidence, has_source_ip, has_dest_ip;
    AlertStatus status;
    i64 created_at;
    i64 alert_id;  // 0 for a row without one
    i64 status_changed_at;
    char note[kAlertNoteCap];
    u16 note_len;
};

std::optional<u32> findOrAddNode(Graph& g, std::string_view name, NodeType type) {
    if (Node* n = g.findNode(name, type)) return n->id;
    return g.addNode(name, type);
}

struct RestoreArgs {
    Persistence* db;
    EngineState* state;
    IndicatorStore* indicators;
};

void* restoreThread(void* p) {
    RestoreArgs* args = static_cast<RestoreArgs*>(p);
    nameThisThread("tarvex-restore");
    restoreFromDb(*args->db, *args->state, args->indicators);
    delete args;
    return nullptr;
}

}  // namespace

std::optional<NodeType> parseNodeType(std::string_view text) {
    for (u8 v = 0; v <= static_cast<u8>(NodeType::alert); ++v) {
        if (nodeTypeName(static_cast<NodeType>(v)) == text) return static_cast<NodeType>(v);
    }
    return std::nullopt;
}

std::optional<EdgeType> parseEdgeType(std::string_view text) {
    for (u8 v = 0; v <= static_cast<u8>(EdgeType::anomaly_correlated); ++v) {
        if (edgeTypeName(static_cast<EdgeType>(v)) == text) return static_cast<EdgeType>(v);
    }
    return std::nullopt;
}

AlertSeverity parseSeverity(std::string_view text) {
    return parseSeverityName(text).value_or(AlertSeverity::info);
}

Result<u32> restoreDevices(PgPool& pool, EngineState& t) {
    auto read = [](const PgRows& rows, DeviceRowIn& r, Err& e) {
        std::optional<MacAddr> mac = parseMac(rows.getText(0).value_or(""));
        if (!mac) return RowRead::skip;
        r.mac = *mac;
        copyBounded(r.label, r.label_len, rows.getText(1).value_or(""));
        copyBounded(r.hostname, r.hostname_len, rows.getText(7).value_or(""));
        copyBounded(r.vendor, r.vendor_len, rows.getText(8).value_or(""));
        copyBounded(r.user_name, r.user_name_len, rows.getText(9).value_or(""));
        copyBounded(r.user_kind, r.user_kind_len, rows.getText(10).value_or(""));
        if (!readF32(rows, 3, r.confidence, e) || !readI64(rows, 4, r.signal_count, e) ||
            !readI64(rows, 5, r.last_seen, e) || !readI64(rows, 6, r.created_at, e)) {
            return RowRead::fail;
        }
        return RowRead::ok;
    };
    auto apply = [&](const DeviceRowIn& r) {
        DeviceFingerprint* d = t.fp->getOrCreateDevice(r.mac.b);
        if (!d) return false;
        d->confidence = r.confidence;
        d->signal_count = static_cast<u8>(clampI64(r.signal_count, 0, 255));
        d->last_seen = r.last_seen;
        d->first_seen = r.created_at;
        d->restored = true;
        // What the listener learnt meanwhile is newer than the row.
        if (d->label_len == 0) d->setLabel(std::string_view(r.label, r.label_len));
        if (d->hostname_len == 0)
            copyBounded(d->hostname, d->hostname_len, {r.hostname, r.hostname_len});
        if (r.vendor_len && d->vendor_len == 0) {
            copyBounded(d->vendor, d->vendor_len, {r.vendor, r.vendor_len});
            d->vendor_known = true;
        }
        if (!d->vendor_known && !isLocallyAdministeredMac(r.mac.b)) {
            char buf[kVendorCap];
            identity::noteVendor(*d, t.oui.lookup(r.mac.b, buf));
        }
        identity::identify(*d);
        if (!d->user_known) {
            copyBounded(d->user_name, d->user_name_len, {r.user_name, r.user_name_len});
            copyBounded(d->user_kind, d->user_kind_len, {r.user_kind, r.user_kind_len});
            d->user_known = true;
        }
        return true;
    };
    Result<u32> n =
        runPhase<DeviceRowIn>(pool, sql::kRestoreDevices, "devices", "device", t.lock, read, apply);
    if (n.ok()) logInfo("persistence", "restored {} devices", n.value);
    return n;
}

Result<u32> restoreGraph(PgPool& pool, EngineState& t) {
    auto read = [](const PgRows& rows, NodeRowIn& r, Err& e) {
        std::optional<NodeType> type = parseNodeType(rows.getText(1).value_or(""));
        if (!type) return RowRead::skip;
        r.type = *type;
        copyBounded(r.name, r.name_len, rows.getText(0).value_or(""));
        if (!readF32(rows, 2, r.activation, e) || !readI64(rows, 3, r.access_count, e) ||
            !readI64(rows, 4, r.last_activated, e)) {
            return RowRead::fail;
        }
        return RowRead::ok;
    };
    auto apply = [&](const NodeRowIn& r) {
        std::string_view name(r.name, r.name_len);
        // A node the pipeline made before its row came back is the same
        // entity: merge into it rather than add a second node.
        Node* existing = t.graph->findNode(name, r.type);
        std::optional<u32> id =
            existing ? std::optional<u32>(existing->id) : t.graph->addNode(name, r.type);
        if (!id) return false;
        Node* n = t.graph->getNode(*id);
        if (!n) return false;
        u32 restored_count = static_cast<u32>(clampI64(r.access_count, 0, UINT32_MAX));
        n->activation = r.activation;
        if (existing) {
            u64 sum = static_cast<u64>(n->access_count) + restored_count;
            n->access_count = static_cast<u32>(std::min<u64>(sum, UINT32_MAX));
            n->last_activated = std::max(n->last_activated, r.last_activated);
        } else {
            n->access_count = restored_count;
            n->last_activated = r.last_activated;
        }
        return true;
    };
    Result<u32> n = runPhase<NodeRowIn>(pool, sql::kRestoreNodes, "graph nodes", "graph node",
                                        t.lock, read, apply);
    if (n.ok()) logInfo("persistence", "restored {} graph nodes", n.value);
    return n;
}

Result<u32> restoreEdges(PgPool& pool, EngineState& t) {
    auto read = [](const PgRows& rows, EdgeRowIn& r, Err& e) {
        std::optional<NodeType> st = parseNodeType(rows.getText(1).value_or(""));
        std::optional<NodeType> tt = parseNodeType(rows.getText(3).value_or(""));
        std::optional<EdgeType> et = parseEdgeType(rows.getText(4).value_or(""));
        if (!st || !tt || !et) return RowRead::skip;
        r.source_type = *st;
        r.target_type = *tt;
        r.edge_type = *et;
        copyBounded(r.source, r.source_len, rows.getText(0).value_or(""));
        copyBounded(r.target, r.target_len, rows.getText(2).value_or(""));
        if (!readF32(rows, 5, r.weight, e) || !readI64(rows, 6, r.reinforcement_count, e)) {
            return RowRead::fail;
        }
        return RowRead::ok;
    };
    auto apply = [&](const EdgeRowIn& r) {
        std::optional<u32> s =
            findOrAddNode(*t.graph, std::string_view(r.source, r.source_len), r.source_type);
        if (!s) return false;
        std::optional<u32> d =
            findOrAddNode(*t.graph, std::string_view(r.target, r.target_len), r.target_type);
        if (!d) return false;
        if (!t.graph->addEdge(*s, *d, r.edge_type, r.weight)) return false;
        if (Edge* e = t.graph->findEdge(*s, *d, r.edge_type)) {
            e->reinforcement_count = static_cast<u16>(clampI64(r.reinforcement_count, 0, 65535));
        }
        return true;
    };
    Result<u32> n = runPhase<EdgeRowIn>(pool, sql::kRestoreEdges, "graph edges", "graph edge",
                                        t.lock, read, apply);
    if (n.ok()) logInfo("persistence", "restored {} graph edges", n.value);
    return n;
}

Result<u32> restoreAlerts(PgPool& pool, EngineState& t) {
    auto read = [](const PgRows& rows, AlertRowIn& r, Err& e) {
        copyBounded(r.title, r.title_len, rows.getText(0).value_or(""));
        copyBounded(r.description, r.description_len, rows.getText(1).value_or(""));
        r.severity = parseSeverity(rows.getText(2).value_or(""));
        if (!readF32(rows, 4, r.surprise_score, e) || !readI64(rows, 5, r.waves, e) ||
            !readI64(rows, 6, r.created_at, e) || !readI64(rows, 10, r.alert_id, e) ||
            !readI64(rows, 12, r.status_changed_at, e)) {
            return RowRead::fail;
        }
        r.status = parseStatus(rows.getText(3).value_or("")).value_or(AlertStatus::new_);
        copyBounded(r.note, r.note_len, rows.getText(11).value_or(""));
        std::optional<std::string_view> evidence = rows.getText(7);
        std::optional<std::string_view> src = rows.getText(8);
        std::optional<std::string_view> dst = rows.getText(9);
        r.has_evidence = evidence.has_value();
        r.has_source_ip = src.has_value();
        r.has_dest_ip = dst.has_value();
        copyBounded(r.evidence, r.evidence_len, evidence.value_or(""));
        copyBounded(r.source_ip, r.source_ip_len, src.value_or(""));
        copyBounded(r.dest_ip, r.dest_ip_len, dst.value_or(""));
        return RowRead::ok;
    };
    auto apply = [&](const AlertRowIn& r) {
        static constexpr u8 kNoMac[6] = {};
        u32 waves = static_cast<u32>(clampI64(r.waves, 0, UINT32_MAX));
        const std::string_view title(r.title, r.title_len);
        const std::string_view description(r.description, r.description_len);
        // A row with the daemon's id comes back under it, with its creation
        // time and triage; one from before ids were stored gets a fresh id.
        u32 id = 0;
        if (r.alert_id > 0 && r.alert_id < UINT32_MAX) {
            id = t.alerts->restoreAlert(static_cast<u32>(r.alert_id), r.created_at, title,
                                        description, r.severity, r.surprise_score, kNoMac, waves);
            if (id != 0 && r.status != AlertStatus::new_) {
                t.alerts->setStatus(id, r.status, std::string_view(r.note, r.note_len),
                                    r.status_changed_at);
            }
        } else {
            id = t.alerts->createAlert(title, description, r.severity, r.surprise_score, kNoMac,
                                       waves);
        }
        if (id == 0) return false;
        if (Alert* a = t.alerts->getAlert(id)) {
            if (r.has_evidence) a->setEvidence(std::string_view(r.evidence, r.evidence_len));
            if (r.has_source_ip) a->setSourceIp(std::string_view(r.source_ip, r.source_ip_len));
            if (r.has_dest_ip) a->setDestIp(std::string_view(r.dest_ip, r.dest_ip_len));
        }
        return true;
    };
    Result<u32> n =
        runPhase<AlertRowIn>(pool, sql::kRestoreAlerts, "alerts", "alert", t.lock, read, apply);
    if (n.ok()) logInfo("persistence", "restored {} alerts", n.value);
    return n;
}

Result<u32> restoreIndicators(PgPool& pool, IndicatorStore& store) {
    Result<PgRows> rows = pool.query(sql::kRestoreIndicators);
    if (!rows.ok()) {
        logWarn("persistence", "failed to query indicators for restore: {}", rows.err);
        return rows.err;
    }
    std::vector<Indicator> items;
    while (rows.value.next()) {
        PgRows& r = rows.value;
        Indicator ind;
        std::memset(&ind, 0, sizeof ind);
        Err e = Err::None;
        i64 expiry = 0, created = 0;
        if (!readI64(r, 4, expiry, e) || !readI64(r, 5, created, e)) {
            logWarn("persistence", "failed to read indicator row: {}", e);
            break;
        }
        std::optional<std::string_view> type = r.getText(0);
        std::optional<std::string_view> value = r.getText(1);
        if (!type || !value) continue;
        ind.indicator_type = parseIndicatorType(*type);
        if (indicatorTypeName(ind.indicator_type) != *type) continue;
        ind.setValue(*value);
        ind.setSource(r.getText(2).value_or(""));
        ind.severity = parseIndicatorSeverity(r.getText(3).value_or("medium"));
        ind.expiry = expiry;
        ind.created_at = created;
        items.push_back(ind);
    }
    ImportCounts c = store.importIndicators(items.data(), static_cast<u32>(items.size()), true);
    logInfo("persistence", "restored {} indicators", c.imported);
    return c.imported;
}

void restoreFromDb(Persistence& db, EngineState& t, IndicatorStore* indicators) {
    logInfo("main", "restoring state from database...");
    PgPool& pool = db.pool();
    Result<u32> devices = restoreDevices(pool, t);
    if (!devices.ok()) logWarn("main", "failed to restore devices: {}", devices.err);
    Result<u32> nodes = restoreGraph(pool, t);
    if (!nodes.ok()) logWarn("main", "failed to restore graph: {}", nodes.err);
    Result<u32> edges = restoreEdges(pool, t);
    if (!edges.ok()) logWarn("main", "failed to restore edges: {}", edges.err);
    Result<u32> alerts = restoreAlerts(pool, t);
    if (!alerts.ok()) logWarn("main", "failed to restore alerts: {}", alerts.err);
    // The new-device check waits for this: a device the database knew is
    // never new, and a database that held devices means this is no first
    // start (no grace period).
    t.restore_found_devices.store(devices.ok() && devices.value > 0, std::memory_order_relaxed);
    t.restore_done.store(true, std::memory_order_release);
    logInfo("main", "restore complete: {} devices, {} nodes, {} edges, {} alerts",
            devices.ok() ? devices.value : 0u, nodes.ok() ? nodes.value : 0u,
            edges.ok() ? edges.value : 0u, alerts.ok() ? alerts.value : 0u);
    if (indicators) {
        Result<u32> n = restoreIndicators(pool, *indicators);
        if (!n.ok()) logWarn("main", "failed to restore indicators: {}", n.err);
    }
}

Err spawnRestoreThread(Persistence& db, EngineState& t, IndicatorStore* indicators) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return Err::SystemResources;
    pthread_attr_setstacksize(&attr, 16u << 20);
    pthread_attr_setguardsize(&attr, 4096);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    auto* args = new (std::nothrow) RestoreArgs{&db, &t, indicators};
    if (!args) {
        pthread_attr_destroy(&attr);
        return Err::OutOfMemory;
    }
    pthread_t th;
    int rc = pthread_create(&th, &attr, restoreThread, args);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete args;
        return rc == EAGAIN ? Err::SystemResources : errFromErrno(rc);
    }
    return Err::None;
}

}  // namespace tarvex
