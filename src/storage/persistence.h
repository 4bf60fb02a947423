// persistence.h: the PostgreSQL copy of what the daemon learns.
//
// Persistence writes raw events (batched), device rows, CEF and new-device
// alerts with their triage changes, threat indicators of the API, and periodic snapshots of the
// entity graph to the `siem` schema, and purges events past the retention period. The in-memory
// tables stay authoritative; the database serves the restore at start, the analytics endpoints and
// the alert detail, which read through pool().
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
//    (submitGraph), and runs the purge. The statements themselves are
//    DbStatements' (storage/statements.h); the records are in
//    storage/db_records.h.
//
// The ring, the pending devices and the statements belong to the thread;
// deinit() uses them once more after joining it. pool() may be used from any
// thread (the pool is thread-safe).
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/error.h"
#include "common/types.h"
#include "engine/graph.h"
#include "pg/pool.h"
#include "storage/db_records.h"
#include "storage/persistence_batch.h"
#include "storage/statements.h"
#include "storage/work_queue.h"

namespace tarvex {

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

    // What an orderly stop wrote and what it could not.
    struct StopReport {
        u64 flushed;  // events written from the moment stop() began
        // Events received that are not in the database: refused by the full
        // queue since the start, or handed over and never written.
        u64 dropped;
        bool timed_out;  // the writer did not finish in time and was left
    };
    // As deinit, but waits for the writer for at most `deadline_ms`: a
    // database that hangs does not hold the stop. After a time-out the
    // writer thread is left running on its own (the process is about to
    // end), the pool stays open, and the object must not be destroyed.
    StopReport stop(int deadline_ms);

    // Counters since the start (any thread).
    struct Counters {
        u64 events_written;  // rows of successful event writes
        u64 events_refused;  // events refused by the full queue
        u64 write_failures;  // failed event writes (each retried later)
    };
    Counters counters() const;

    // --- Listener side: copy and return at once. ---
    void submitEvent(u8 event_type, std::string_view source_ip, std::string_view raw_data, i64 now);
    void submitDevice(const DeviceRow& row);
    void submitAlert(const AlertRow& row);
    // A triage change (any thread: the triage endpoint hands it over here).
    void submitAlertStatus(const AlertStatusRow& row);
    // A threat indicator added through the API (any thread).
    void submitIndicator(const Indicator& ind);
    // A graph snapshot to write: nodes, then edges. The caller holds the
    // state lock (the listener, exclusively): the copy is made here, at
    // once, so no lower-priority thread ever holds the lock the listener
    // waits for. The copy goes to the buffer the persistence thread is not
    // writing; a snapshot still waiting there is replaced by the newer one.
    // False (nothing copied) once the layer is shutting down.
    bool submitGraph(const Graph& graph);
    void submitPurge(u32 days);

    // --- Any thread. ---
    // The pool, for the readers: the restore, the analytics queries and the
    // related-events lookup (storage/event_queries.h).
    PgPool& pool() { return *pool_; }

  private:
    Persistence(std::unique_ptr<PgPool> pool, const PersistenceOptions& options);
    i64 now() const { return clock_(); }
    void run();
    // Applies one batch of submitted records.
    void applyRecords(const std::vector<char>& buf);
    // Writes the ring in one transaction and empties it; the ring is kept on
    // failure. Errors: those of DbStatements::writeEvents.
    Err flushEvents();
    void flushIfDue();
    void writePendingDevices();
    void noteRefusal(PushResult r);

    std::unique_ptr<PgPool> pool_;
    i64 (*clock_)();
    WorkQueue queue_;

    // Owned by the persistence thread.
    DbStatements statements_;
    std::unique_ptr<EventBatch> batch_;
    // Two snapshot buffers: while the thread writes one, the listener may
    // fill the other (see submitGraph). Guarded by request_mu_: which one is
    // being written (-1: none) and which one waits (-1: none).
    std::unique_ptr<GraphSnapshot> snapshots_[2];
    int snapshot_writing_ = -1;
    int snapshot_ready_ = -1;
    std::vector<char> records_;
    std::unordered_map<u64, DeviceRow> pending_devices_;
    std::vector<DeviceRow> device_rows_;
    bool flush_failed_ = false;  // the last flush failed; retried from the next second
    i64 flush_failed_at_ = 0;
    // Distinct device addresses gathered before they are written.
    static constexpr size_t kMaxDevicesPerRound = 4096;

    // Graph and purge requests (set by the listener, taken by the thread).
    std::mutex request_mu_;

    bool purge_requested_ = false;
    u32 purge_days_ = 0;

    // Close the intake and wait for the thread for at most `deadline_ms`;
    // true when it has ended (and is joined).
    bool endThread(int deadline_ms);
    void closePool();

    std::thread thread_;
    std::atomic<bool> stopping_{false};
    bool closed_ = false;
    // Set by the thread as it ends (under done_mu_), for a bounded wait.
    std::mutex done_mu_;
    std::condition_variable done_cv_;
    bool thread_done_ = false;

    std::atomic<u64> events_accepted_{0};
    std::atomic<u64> events_refused_{0};
    std::atomic<u64> events_written_{0};
    std::atomic<u64> write_failures_{0};
};

}  // namespace tarvex
