// persistence.cpp: the write path, its thread, and the related-events lookup.
#include "storage/persistence.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <system_error>
#include <unordered_set>

#include "common/clock.h"
#include "common/log.h"
#include "common/mac.h"
#include "common/text.h"
#include "common/thread.h"

namespace tarvex {

namespace {

enum RecordKind : u8 { kEventRecord = 1, kDeviceRecord = 2, kAlertRecord = 3 };

struct EventHead {
    i64 timestamp;
    u16 source_ip_len;
    u16 raw_data_len;
    u8 event_type;
};

constexpr int kIdleWakeMs = 1000;
constexpr size_t kGatherBytes = 64 * 1024;
constexpr int kGatherMs = 2;

// Text that PostgreSQL can store: NUL bytes and broken UTF-8 become '?'.
template <size_t N, class L>
std::string_view storable(char (&buf)[N], L& len, std::string_view src) {
    copyBounded(buf, len, src);
    makeStorableText(std::span<char>(buf, static_cast<size_t>(len)));
    return view(buf, len);
}

u64 macKey(const u8 mac[6]) {
    u64 k = 0;
    for (int i = 0; i < 6; ++i) k = (k << 8) | mac[i];
    return k;
}

std::string_view asBytes(const void* p, size_t n) {
    return {static_cast<const char*>(p), n};
}

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

std::string deviceUpsertSql(u32 rows) {
    std::string sql =
        "INSERT INTO siem.devices (mac, label, category, confidence, signal_count, last_seen) "
        "VALUES ";
    appendRows(sql, rows, {"", "", "", "", ""}, {"::macaddr", "", "", "::real", "::integer"},
               ", now())");
    sql +=
        " ON CONFLICT (mac) DO UPDATE SET label = EXCLUDED.label, category = EXCLUDED.category, "
        "confidence = EXCLUDED.confidence, signal_count = EXCLUDED.signal_count, last_seen = "
        "now()";
    return sql;
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

AlertRow AlertRow::fromAlert(const Alert& a) {
    AlertRow r;
    std::memset(&r, 0, sizeof r);
    storable(r.title, r.title_len, a.getTitle());
    storable(r.description, r.description_len, a.getDescription());
    storable(r.evidence, r.evidence_len, a.getEvidence());
    r.severity = a.severity;
    std::memcpy(r.source_mac, a.source_mac, 6);
    r.surprise_score = a.surprise_score;
    storable(r.source_ip, r.source_ip_len, a.getSourceIp());
    storable(r.dest_ip, r.dest_ip_len, a.getDestIp());
    return r;
}

void GraphSnapshot::take(const Graph& g) {
    // Slots are never freed: past the slot that holds the last of the
    // graph's nodes (edges) there is nothing to copy.
    u32 i = 0;
    for (u32 seen = 0; i < kMaxNodes && seen < g.node_count; ++i) {
        const Node& n = g.nodes[i];
        NodeRow& r = nodes[i];
        if (n.active) ++seen;
        r.present = n.active && n.name.len > 0;
        if (!r.present) continue;
        r.last_activated = n.last_activated;
        r.activation = n.activation;
        r.access_count = n.access_count;
        r.node_type = n.node_type;
        r.name = n.name;
        makeStorableText(std::span<char>(r.name.data, std::min<size_t>(r.name.len, kNameCap)));
    }
    for (u32 k = i; k < node_slots; ++k) nodes[k].present = false;
    node_slots = i;
    edge_rows = 0;
    for (u32 j = 0, seen = 0; j < kMaxEdges && seen < g.edge_count; ++j) {
        const Edge& e = g.edges[j];
        if (e.active) ++seen;
        if (!e.active || e.source >= kMaxNodes || e.target >= kMaxNodes) continue;
        if (!nodes[e.source].present || !nodes[e.target].present) continue;
        edges[edge_rows++] =
            EdgeRow{e.source, e.target, e.weight, e.reinforcement_count, e.edge_type};
    }
}

Result<std::unique_ptr<Persistence>> Persistence::create(std::string_view url,
                                                         PersistenceOptions options) {
    Result<PgConnOptions> parsed = parsePgUrl(url);
    if (!parsed.ok()) {
        logError("persistence", "failed to parse DATABASE_URL: {}", parsed.err);
        return parsed.err;
    }
    Result<std::unique_ptr<PgPool>> pool = PgPool::create(parsed.value, options.pool);
    if (!pool.ok()) {
        logError("persistence", "failed to create connection pool: {}", pool.err);
        return pool.err;
    }
    std::unique_ptr<Persistence> p(new Persistence(std::move(pool.value), options));
    logInfo("persistence", "persistence layer initialized (pool size={})", options.pool.size);
    return p;
}

Persistence::Persistence(std::unique_ptr<PgPool> pool, const PersistenceOptions& options)
    : pool_(std::move(pool)),
      clock_(options.clock ? options.clock : wallSeconds),
      rows_per_statement_(std::max<u32>(1, options.rows_per_statement)),
      queue_(options.queue_bytes),
      batch_(std::make_unique<EventBatch>()),
      snapshots_{std::make_unique<GraphSnapshot>(), std::make_unique<GraphSnapshot>()} {
    batch_->init(now());
    records_.reserve(options.queue_bytes);
    pending_devices_.reserve(kMaxDevicesPerRound);
}

Persistence::~Persistence() {
    deinit();
}

Err Persistence::start() {
    if (thread_.joinable() || closed_) return Err::None;
    try {
        thread_ = std::thread(&Persistence::run, this);
    } catch (const std::system_error&) {
        return Err::SystemResources;
    }
    return Err::None;
}

void Persistence::deinit() {
    if (closed_) return;
    closed_ = true;
    // Close the intake first, so the thread's last take holds every record
    // that will ever be submitted.
    queue_.close();
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
    Err e = flushEvents();
    if (e != Err::None) logWarn("persistence", "failed to flush events during shutdown: {}", e);
    pool_->close();
    logInfo("persistence", "persistence layer closed");
}

// ---------------------------------------------------------------- submit

void Persistence::noteRefusal(PushResult r) {
    if (r == PushResult::refused_first) {
        logWarn("persistence",
                "write queue full \xE2\x80\x94 dropping database work until it drains ({} "
                "dropped so far)",
                queue_.refusedCount());
    }
}

void Persistence::submitEvent(u8 event_type, std::string_view source_ip, std::string_view raw_data,
                              i64 now) {
    source_ip = source_ip.substr(0, sizeof(BufferedEvent::source_ip));
    raw_data = raw_data.substr(0, sizeof(BufferedEvent::raw_data));
    EventHead h{now, static_cast<u16>(source_ip.size()), static_cast<u16>(raw_data.size()),
                event_type};
    noteRefusal(queue_.push(kEventRecord, {asBytes(&h, sizeof h), source_ip, raw_data}));
}

void Persistence::submitDevice(const DeviceRow& row) {
    noteRefusal(queue_.push(kDeviceRecord, {asBytes(&row, sizeof row)}));
}

void Persistence::submitAlert(const AlertRow& row) {
    noteRefusal(queue_.push(kAlertRecord, {asBytes(&row, sizeof row)}));
}

bool Persistence::submitGraph(const Graph& graph) {
    if (stopping_.load()) return false;
    {
        // The thread holds request_mu_ only to swap indexes, so the listener
        // does not wait on it; the copy (about a millisecond for a full
        // graph) keeps the thread from taking a half-filled buffer.
        std::lock_guard<std::mutex> l(request_mu_);
        const int target = snapshot_writing_ == 0 ? 1 : 0;
        snapshots_[target]->take(graph);
        snapshot_ready_ = target;
    }
    queue_.wake();
    return true;
}

void Persistence::submitPurge(u32 days) {
    {
        std::lock_guard<std::mutex> l(request_mu_);
        purge_requested_ = true;
        purge_days_ = days;
    }
    queue_.wake();
}

// ---------------------------------------------------------------- thread

void Persistence::run() {
    // Writing behind is never urgent; receiving is. Under CPU pressure the
    // listener goes first and the queue absorbs the difference.
    nameThisThread("tarvex-writer");
    setThisThreadNice(kBackgroundNice);
    for (;;) {
        bool last = stopping_.load();
        queue_.take(records_, last ? 0 : kIdleWakeMs);
        // A failed flush is retried from the next second on, not on every
        // event of a backlog.
        if (flush_failed_ && now() > flush_failed_at_) flush_failed_ = false;
        applyRecords(records_);
        flushIfDue();
        writePendingDevices();

        int graph = -1;
        bool purge = false;
        u32 days = 0;
        {
            std::lock_guard<std::mutex> l(request_mu_);
            graph = snapshot_writing_ = snapshot_ready_;
            snapshot_ready_ = -1;
            purge = purge_requested_;
            days = purge_days_;
            purge_requested_ = false;
        }
        if (graph >= 0) {
            persistGraph(*snapshots_[graph]);
            persistEdges(*snapshots_[graph]);
            std::lock_guard<std::mutex> l(request_mu_);
            snapshot_writing_ = -1;
        }
        if (purge) purgeOldEvents(days);
        // The 5 s rule also holds when no further event arrives.
        flushIfDue();
        if (last) break;
        // Let a trickle gather: waking for every record would cost the
        // listener a wake-up call per event and both threads the switches.
        if (records_.size() < kGatherBytes) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kGatherMs));
        }
    }
}

void Persistence::applyRecords(const std::vector<char>& buf) {
    WorkQueue::forEach(buf, [&](u8 kind, std::string_view payload) {
        switch (kind) {
            case kEventRecord: {
                EventHead h;
                std::memcpy(&h, payload.data(), sizeof h);
                std::string_view ip = payload.substr(sizeof h, h.source_ip_len);
                std::string_view raw = payload.substr(sizeof h + h.source_ip_len, h.raw_data_len);
                bufferEvent(h.event_type, ip, raw, h.timestamp);
                // With a backlog waiting, the ring fills to its 256 slots
                // before it is written; the rest is checked after the take.
                if (batch_->event_count >= EventBatch::kSlots) flushIfDue();
                break;
            }
            case kDeviceRecord: {
                DeviceRow row;
                std::memcpy(&row, payload.data(), sizeof row);
                pending_devices_[macKey(row.mac)] = row;
                if (pending_devices_.size() >= kMaxDevicesPerRound) writePendingDevices();
                break;
            }
            case kAlertRecord: {
                auto row = std::make_unique<AlertRow>();
                std::memcpy(row.get(), payload.data(), sizeof(AlertRow));
                Err e = persistAlert(*row);
                if (e != Err::None) logWarn("pipeline", "failed to persist alert: {}", e);
                break;
            }
            default:
                break;
        }
    });
}

void Persistence::flushIfDue() {
    if (flush_failed_ || !shouldFlush()) return;
    Err e = flushEvents();
    if (e != Err::None) {
        logWarn("pipeline", "failed to flush events to database: {}", e);
        flush_failed_ = true;
        flush_failed_at_ = now();
    }
}

void Persistence::writePendingDevices() {
    if (pending_devices_.empty()) return;
    device_rows_.clear();
    for (const auto& [key, row] : pending_devices_) device_rows_.push_back(row);
    pending_devices_.clear();
    persistDevices(device_rows_.data(), static_cast<u32>(device_rows_.size()));
}

// ---------------------------------------------------------------- events

void Persistence::bufferEvent(u8 event_type, std::string_view source_ip, std::string_view raw_data,
                              i64 now) {
    batch_->bufferEvent(event_type, source_ip, raw_data, now);
}

bool Persistence::shouldFlush() const {
    return batch_->shouldFlush(now());
}

Err Persistence::flushEvents() {
    EventBatch& b = *batch_;
    if (b.event_count == 0) return Err::None;

    Result<PgLease> lease = pool_->lease();
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
    b.markFlushed(now());
    events_written_.fetch_add(rows, std::memory_order_relaxed);
    return Err::None;
}

// ---------------------------------------------------------------- graph

void Persistence::persistGraph(const Graph& g) {
    // Only while the thread is not started (tests): buffer 0 is free.
    snapshots_[0]->take(g);
    persistGraph(*snapshots_[0]);
    persistEdges(*snapshots_[0]);
}

void Persistence::persistGraph(const GraphSnapshot& snap) {
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

    u32 saved = 0, failed = 0;
    bool reported = false;
    std::vector<u32> chunk;
    Result<PgLease> lease = Err::None;
    bool have_lease = false;
    auto writeChunk = [&]() {
        if (chunk.empty()) return;
        params_.clear();
        u32 slots = 0;
        for (u32 slot : chunk) {
            slots += represented[slot];
            const auto& n = snap.nodes[slot];
            params_.emplace_back(n.name.slice());
            params_.emplace_back(nodeTypeName(n.node_type));
            params_.emplace_back(n.activation);
            // integer: a saturated access count is stored as its maximum.
            params_.emplace_back(std::min<u32>(n.access_count, INT32_MAX));
            params_.emplace_back(static_cast<f64>(n.last_activated));
        }
        Err e = lease.ok()
                    ? lease.value->exec(nodeUpsertSql(static_cast<u32>(chunk.size())).c_str(),
                                        std::span<const PgParam>(params_))
                    : lease.err;
        if (e == Err::None) {
            saved += slots;
        } else {
            failed += slots;
            if (!reported) logWarn("persistence", "graph node persist error: {}", e);
            reported = true;
        }
        chunk.clear();
    };
    for (u32 i = 0; i < kMaxNodes; ++i) {
        if (!snap.nodes[i].present || canon_[i] != i) continue;
        if (!have_lease) {
            lease = pool_->lease();
            have_lease = true;
        }
        chunk.push_back(i);
        if (chunk.size() >= rows_per_statement_) writeChunk();
    }
    writeChunk();
    if (saved + failed > 0) {
        logInfo("persistence", "graph persist: {} nodes saved, {} failed", saved, failed);
    }
}

void Persistence::persistEdges(const GraphSnapshot& snap) {
    // With duplicate nodes, two edges may name the same stored row; keep the
    // later one. persistGraph(snap) has filled canon_ for this snapshot.
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

    u32 saved = 0, failed = 0;
    bool reported = false;
    std::vector<u32> chunk;
    Result<PgLease> lease = Err::None;
    bool have_lease = false;
    auto writeChunk = [&]() {
        if (chunk.empty()) return;
        params_.clear();
        u32 slots = 0;
        for (u32 k : chunk) {
            slots += represented[k];
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
        }
        Err e = lease.ok()
                    ? lease.value->exec(edgeUpsertSql(static_cast<u32>(chunk.size())).c_str(),
                                        std::span<const PgParam>(params_))
                    : lease.err;
        if (e == Err::None) {
            saved += slots;
        } else {
            failed += slots;
            if (!reported) logWarn("persistence", "graph edge persist error: {}", e);
            reported = true;
        }
        chunk.clear();
    };
    for (u32 k = 0; k < snap.edge_rows; ++k) {
        if (represented[k] == 0) continue;
        if (!have_lease) {
            lease = pool_->lease();
            have_lease = true;
        }
        chunk.push_back(k);
        if (chunk.size() >= rows_per_statement_) writeChunk();
    }
    writeChunk();
    if (saved + failed > 0) {
        logInfo("persistence", "edge persist: {} edges saved, {} failed", saved, failed);
    }
}

// ---------------------------------------------------------------- the rest

void Persistence::purgeOldEvents(u32 days) {
    std::string d = std::to_string(days);
    Err e = pool_->exec(sql::kPurge, {d});
    if (e == Err::None) {
        logInfo("persistence", "purged events older than {} days", days);
    } else {
        logWarn("persistence", "failed to purge old events: {}", e);
    }
}

Err Persistence::persistAlert(const AlertRow& row) {
    char mac[17];
    formatMac(row.source_mac, mac);
    Err e = pool_->exec(sql::kAlertInsert,
                        {std::string_view(row.title, row.title_len),
                         std::string_view(row.description, row.description_len),
                         severityName(row.severity), std::string_view(mac, 17), row.surprise_score,
                         PgParam::textOrNull(std::string_view(row.evidence, row.evidence_len)),
                         PgParam::textOrNull(std::string_view(row.source_ip, row.source_ip_len)),
                         PgParam::textOrNull(std::string_view(row.dest_ip, row.dest_ip_len))});
    if (e != Err::None) logWarn("persistence", "failed to insert alert: {}", e);
    return e;
}

Err Persistence::persistDevice(const DeviceRow& row) {
    char mac[17];
    formatMac(row.mac, mac);
    char label[64];
    u8 label_len = 0;
    std::string_view l = storable(label, label_len, row.getLabel());
    Err e = pool_->exec(sql::kDeviceUpsert, {std::string_view(mac, 17), l, "unknown",
                                             row.confidence, static_cast<i64>(row.signal_count)});
    if (e != Err::None) {
        logWarn("persistence", "failed to upsert device {}: {}", std::string_view(mac, 17), e);
    }
    return e;
}

u32 Persistence::persistDevices(const DeviceRow* rows, u32 count) {
    if (count == 0) return 0;
    struct Texts {
        char mac[17];
        char label[64];
        u8 label_len;
    };
    std::vector<Texts> texts(std::min(count, rows_per_statement_));
    u32 failed = 0;
    Result<PgLease> lease = pool_->lease();
    for (u32 start = 0; start < count; start += rows_per_statement_) {
        u32 n = std::min(rows_per_statement_, count - start);
        params_.clear();
        for (u32 i = 0; i < n; ++i) {
            const DeviceRow& r = rows[start + i];
            Texts& t = texts[i];
            formatMac(r.mac, t.mac);
            std::string_view label = storable(t.label, t.label_len, r.getLabel());
            params_.emplace_back(std::string_view(t.mac, 17));
            params_.emplace_back(label);
            params_.emplace_back("unknown");
            params_.emplace_back(r.confidence);
            params_.emplace_back(static_cast<i64>(r.signal_count));
        }
        Err e = lease.ok() ? lease.value->exec(deviceUpsertSql(n).c_str(),
                                               std::span<const PgParam>(params_))
                           : lease.err;
        if (e == Err::None) continue;
        failed += n;
        for (u32 i = 0; i < n; ++i) {
            logWarn("persistence", "failed to upsert device {}: {}",
                    std::string_view(texts[i].mac, 17), e);
            logWarn("pipeline", "failed to persist device: {}", e);
        }
    }
    return failed;
}

Result<u32> Persistence::queryRelatedEvents(std::string_view text,
                                            DbEvent (&out)[kMaxRelatedEvents]) {
    if (text.empty()) return 0u;
    char pattern[256];
    Result<size_t> plen = escapeLikePattern(text, std::span<char, 256>(pattern));
    if (!plen.ok()) return 0u;
    Result<PgRows> rows =
        pool_->query(sql::kRelatedEvents, {text, std::string_view(pattern, plen.value)});
    if (!rows.ok()) {
        logWarn("persistence", "failed to query related events for {}: {}", text, rows.err);
        return rows.err;
    }
    u32 n = 0;
    while (n < kMaxRelatedEvents && rows.value.next()) {
        DbEvent& e = out[n++];
        Result<i64> ts = rows.value.getI64(0);
        Result<i64> type = rows.value.getI64(1);
        e.timestamp = ts.ok() ? ts.value : 0;
        e.event_type = type.ok() ? static_cast<std::int16_t>(type.value) : 0;
        copyBounded(e.source_ip, e.source_ip_len, rows.value.getText(2).value_or(""));
        copyBounded(e.data, e.data_len, rows.value.getText(3).value_or(""));
    }
    return n;
}

}  // namespace tarvex
