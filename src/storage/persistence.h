// persistence.h: the PostgreSQL copy of what the daemon learns.
//
// Persistence writes raw events (batched), device rows, CEF alerts and
// periodic snapshots of the entity graph to the `siem` schema, purges events
// past the retention period, and answers the related-events lookup of the
// alert detail. The in-memory tables stay authoritative; the database serves
// the restore at start, the analytics endpoints and the alert detail.
//
// Two sides:
//  - The listener hands work over with the submit* calls. They copy what
//    they need into a bounded queue and return at once: the listener never
//    waits on the database. A full queue refuses the work, counts it and logs
//    the occurrence once.
//  - The persistence thread (start()) owns every write. It moves submitted
//    events into the 256-event ring (EventBatch) and flushes it at 100
//    buffered events or 5 s after the last successful flush; a failed flush
//    keeps the ring for the next try. It coalesces device rows by address,
//    inserts alerts, upserts the graph snapshots the listener copies for it
//    (submitGraph), and runs the purge.
//
// The statement operations (flushEvents, persistGraph, persistEdges,
// purgeOldEvents, persistAlert, persistDevice, persistDevices) run on the
// calling thread: the persistence thread, or a test while that thread is not
// started. queryRelatedEvents and pool() may be used from any thread (the
// pool is thread-safe).
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "alert/manager.h"
#include "common/error.h"
#include "common/state_lock.h"
#include "common/types.h"
#include "engine/graph.h"
#include "pg/pool.h"
#include "storage/persistence_batch.h"
#include "storage/work_queue.h"

namespace tarvex {

// The statements of the write path and the related-events lookup.
namespace sql {
inline constexpr const char* kEventInsert =
    "INSERT INTO siem.events (event_type, source_ip, raw_data, event_time) VALUES ($1::smallint, "
    "$2::inet, $3, to_timestamp($4))";
// The event insert for a whole batch: the same columns, casts and
// conversions, one row per element of four parallel arrays (type, source
// address or NULL, raw text, epoch seconds), in array order.
inline constexpr const char* kEventInsertArrays =
    "INSERT INTO siem.events (event_type, source_ip, raw_data, event_time) SELECT t::smallint, "
    "ip::inet, raw, to_timestamp(ts) FROM unnest($1::smallint[], $2::text[], $3::text[], "
    "$4::float8[]) AS u(t, ip, raw, ts)";
inline constexpr const char* kDeviceUpsert =
    "INSERT INTO siem.devices (mac, label, category, confidence, signal_count, last_seen) VALUES "
    "($1::macaddr, $2, $3, $4, $5, now()) ON CONFLICT (mac) DO UPDATE SET label = EXCLUDED.label, "
    "category = EXCLUDED.category, confidence = EXCLUDED.confidence, signal_count = "
    "EXCLUDED.signal_count, last_seen = now()";
inline constexpr const char* kAlertInsert =
    "INSERT INTO siem.alerts (title, description, severity, source_mac, surprise_score, evidence, "
    "source_ip, dest_ip) VALUES ($1, $2, $3::siem.alert_severity, $4::macaddr, $5, $6, $7::inet, "
    "$8::inet)";
inline constexpr const char* kPurge =
    "DELETE FROM siem.events WHERE event_time < now() - ($1 || ' days')::interval";
inline constexpr const char* kRelatedEvents =
    "SELECT EXTRACT(EPOCH FROM event_time)::bigint, event_type, host(source_ip), raw_data FROM "
    "siem.events WHERE (source_ip = $1::inet OR raw_data ILIKE $2) ORDER BY event_time DESC "
    "LIMIT 50";
}  // namespace sql

// A row read back by the related-events lookup.
struct DbEvent {
    i64 timestamp;
    std::int16_t event_type;
    u16 data_len;
    char source_ip[46];
    u8 source_ip_len;
    char data[2048];

    std::string_view getSourceIp() const { return {source_ip, source_ip_len}; }
    std::string_view getData() const { return {data, data_len}; }
};
constexpr u32 kMaxRelatedEvents = 50;

// Fills the four array literals of kEventInsertArrays with the pending events
// of `b` that have raw text, oldest first; returns how many.
u32 appendEventArrays(const EventBatch& b, std::string (&arrays)[4]);

// One device row as the device state step writes it.
struct DeviceRow {
    u8 mac[6];
    f32 confidence;
    u32 signal_count;
    char label[64];
    u8 label_len;

    std::string_view getLabel() const { return {label, label_len}; }
};

// One alert row as CEF handling writes it (texts sized as in the alert store).
struct AlertRow {
    char title[kAlertTitleCap];
    u8 title_len;
    u16 description_len;
    u16 evidence_len;
    char description[kAlertDescriptionCap];
    char evidence[kAlertEvidenceCap];
    AlertSeverity severity;
    u8 source_mac[6];
    f32 surprise_score;
    char source_ip[kAlertIpCap];
    u8 source_ip_len;
    char dest_ip[kAlertIpCap];
    u8 dest_ip_len;

    // The row of a stored alert.
    static AlertRow fromAlert(const Alert& a);
};

// A copy of the graph's active nodes and edges, taken under the state lock
// and written without it. Nodes keep their slots so edges can name them.
struct GraphSnapshot {
    struct NodeRow {
        i64 last_activated;
        f32 activation;
        u32 access_count;
        Name name;
        NodeType node_type;
        bool present;  // active with a non-empty name
    };
    struct EdgeRow {
        u32 source;
        u32 target;
        f32 weight;
        u16 reinforcement_count;
        EdgeType edge_type;
    };
    NodeRow nodes[kMaxNodes];
    EdgeRow edges[kMaxEdges];
    u32 edge_rows;
    u32 node_slots;  // node rows filled by the last take; those past it are absent

    // Copies `g` (the caller holds the state lock at least shared).
    void take(const Graph& g);
};

struct PersistenceOptions {
    PgPoolOptions pool;
    // Bytes of submitted work that may wait for the persistence thread.
    size_t queue_bytes = 16u << 20;
    // Rows per statement of the graph, device and batch writes.
    u32 rows_per_statement = 1000;
    // The wall clock in seconds; tests substitute their own.
    i64 (*clock)() = nullptr;
};

class Persistence {
  public:
    // Parses the URL, opens the pool of 4 connections and initialises the
    // write path. Logs "error(persistence): failed to parse DATABASE_URL: {}"
    // or "error(persistence): failed to create connection pool: {}" and
    // returns the error, or logs "info(persistence): persistence layer
    // initialized (pool size=4)".
    static Result<std::unique_ptr<Persistence>> create(std::string_view url,
                                                       PersistenceOptions options = {});
    ~Persistence();
    Persistence(const Persistence&) = delete;
    Persistence& operator=(const Persistence&) = delete;

    // Starts the persistence thread. Errors: SystemResources when the thread
    // cannot be created.
    Err start();
    // Stops the thread after it has written what was submitted, flushes once
    // more (logging "warning(persistence): failed to flush events during
    // shutdown: {}" on failure), closes the pool and logs
    // "info(persistence): persistence layer closed". Later submissions are
    // dropped silently. Idempotent.
    void deinit();

    // --- Listener side: copy and return at once. ---
    void submitEvent(u8 event_type, std::string_view source_ip, std::string_view raw_data, i64 now);
    void submitDevice(const DeviceRow& row);
    void submitAlert(const AlertRow& row);
    // A graph snapshot to write: nodes, then edges. The caller holds the
    // state lock (the listener, exclusively): the copy is made here, at
    // once, so no lower-priority thread ever holds the lock the listener
    // waits for. The copy goes to the buffer the persistence thread is not
    // writing; a snapshot still waiting there is replaced by the newer one.
    // False (nothing copied) once the layer is shutting down.
    bool submitGraph(const Graph& graph);
    void submitPurge(u32 days);
    // Submissions refused because the queue was full.
    u64 refusedWork() const { return queue_.refusedCount(); }

    // --- Statement operations (the persistence thread, or a test). ---
    // The ring of events waiting to be written.
    void bufferEvent(u8 event_type, std::string_view source_ip, std::string_view raw_data, i64 now);
    bool shouldFlush() const;
    // Writes the pending events in one transaction with one multi-row insert.
    // Errors: ConnectionFailed, TransactionFailed, InsertFailed, CommitFailed;
    // the ring is kept on failure.
    Err flushEvents();
    // The ring itself (the persistence thread's; a test or benchmark may use
    // it while that thread is not started).
    EventBatch& batch() { return *batch_; }
    const EventBatch& batch() const { return *batch_; }

    // Upserts every node of the snapshot, then every edge, many rows per
    // statement; each logs its summary line when it attempted anything.
    void persistGraph(const GraphSnapshot& snap);
    void persistEdges(const GraphSnapshot& snap);
    // Takes a snapshot of `g` (caller holds the lock) and persists it.
    void persistGraph(const Graph& g);
    void purgeOldEvents(u32 days);
    Err persistAlert(const AlertRow& row);
    Err persistDevice(const DeviceRow& row);
    // Upserts several devices (distinct addresses) in statements of many
    // rows. Returns the number of rows whose statement failed.
    u32 persistDevices(const DeviceRow* rows, u32 count);

    // --- Any thread. ---
    // Events whose source address is `text` or whose raw text contains it
    // (case-insensitively), newest first, at most 50. Nothing is queried for
    // an empty text or one whose pattern does not fit 256 bytes (count 0).
    Result<u32> queryRelatedEvents(std::string_view text, DbEvent (&out)[kMaxRelatedEvents]);
    PgPool& pool() { return *pool_; }

    // Events written by successful flushes since the start.
    u64 eventsWritten() const { return events_written_.load(std::memory_order_relaxed); }

  private:
    Persistence(std::unique_ptr<PgPool> pool, const PersistenceOptions& options);
    i64 now() const { return clock_(); }
    void run();
    // Applies one batch of submitted records.
    void applyRecords(const std::vector<char>& buf);
    void flushIfDue();
    void writePendingDevices();
    void noteRefusal(PushResult r);

    std::unique_ptr<PgPool> pool_;
    i64 (*clock_)();
    const u32 rows_per_statement_;
    WorkQueue queue_;

    // Owned by the persistence thread (or the test driving the operations).
    std::unique_ptr<EventBatch> batch_;
    // Two snapshot buffers: while the thread writes one, the listener may
    // fill the other (see submitGraph). Guarded by request_mu_: which one is
    // being written (-1: none) and which one waits (-1: none).
    std::unique_ptr<GraphSnapshot> snapshots_[2];
    int snapshot_writing_ = -1;
    int snapshot_ready_ = -1;
    std::vector<char> records_;
    std::vector<PgParam> params_;
    std::string event_arrays_[4];
    std::unordered_map<u64, DeviceRow> pending_devices_;
    std::vector<DeviceRow> device_rows_;
    bool flush_failed_ = false;  // the last flush failed; retried from the next second
    i64 flush_failed_at_ = 0;
    // Per snapshot: the slot whose row each node slot shares (persistGraph),
    // and whether any two nodes share one.
    std::vector<u32> canon_;
    bool has_duplicates_ = false;
    // Distinct device addresses gathered before they are written.
    static constexpr size_t kMaxDevicesPerRound = 4096;

    // Graph and purge requests (set by the listener, taken by the thread).
    std::mutex request_mu_;

    bool purge_requested_ = false;
    u32 purge_days_ = 0;

    std::thread thread_;
    std::atomic<bool> stopping_{false};
    bool closed_ = false;
    std::atomic<u64> events_written_{0};
};

}  // namespace tarvex
