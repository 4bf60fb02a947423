// persistence.cpp: the write path's hand-over from the listener and its thread.
#include "storage/persistence.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <system_error>

#include "common/clock.h"
#include "common/log.h"
#include "common/thread.h"

namespace tarvex {

namespace {

enum RecordKind : u8 {
    kEventRecord = 1,
    kDeviceRecord = 2,
    kAlertRecord = 3,
    kAlertStatusRecord = 4,
    kIndicatorRecord = 5,
};

struct EventHead {
    i64 timestamp;
    u16 source_ip_len;
    u16 raw_data_len;
    u8 event_type;
};

constexpr int kIdleWakeMs = 1000;
constexpr size_t kGatherBytes = 64 * 1024;
constexpr int kGatherMs = 2;

u64 macKey(const u8 mac[6]) {
    u64 k = 0;
    for (int i = 0; i < 6; ++i) k = (k << 8) | mac[i];
    return k;
}

std::string_view asBytes(const void* p, size_t n) {
    return {static_cast<const char*>(p), n};
}

}  // namespace

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
      queue_(options.queue_bytes),
      statements_(*pool_, options.rows_per_statement),
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

bool Persistence::endThread(int deadline_ms) {
    // Close the intake first, so the thread's last take holds every record
    // that will ever be submitted.
    queue_.close();
    stopping_.store(true);
    if (!thread_.joinable()) return true;
    {
        std::unique_lock<std::mutex> l(done_mu_);
        if (!done_cv_.wait_for(l, std::chrono::milliseconds(deadline_ms),
                               [&] { return thread_done_; }))
            return false;
    }
    thread_.join();
    return true;
}

void Persistence::closePool() {
    Err e = flushEvents();
    if (e != Err::None) logWarn("persistence", "failed to flush events during shutdown: {}", e);
    pool_->close();
    logInfo("persistence", "persistence layer closed");
}

void Persistence::deinit() {
    if (closed_) return;
    closed_ = true;
    endThread(INT_MAX);
    closePool();
}

Persistence::StopReport Persistence::stop(int deadline_ms) {
    StopReport r{0, 0, false};
    if (closed_) return r;
    closed_ = true;
    const u64 written_before = events_written_.load();
    if (endThread(deadline_ms)) {
        closePool();
    } else {
        r.timed_out = true;
        logWarn("persistence",
                "the database writer did not finish within {} ms \xE2\x80\x94 leaving it",
                deadline_ms);
        thread_.detach();
    }
    const u64 written = events_written_.load();
    r.flushed = written - written_before;
    r.dropped = events_refused_.load() + (events_accepted_.load() - written);
    return r;
}

Persistence::Counters Persistence::counters() const {
    return {events_written_.load(std::memory_order_relaxed),
            events_refused_.load(std::memory_order_relaxed),
            write_failures_.load(std::memory_order_relaxed)};
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
    PushResult r = queue_.push(kEventRecord, {asBytes(&h, sizeof h), source_ip, raw_data});
    if (r == PushResult::queued) {
        events_accepted_.fetch_add(1, std::memory_order_relaxed);
    } else if (r != PushResult::closed) {
        events_refused_.fetch_add(1, std::memory_order_relaxed);
    }
    noteRefusal(r);
}

void Persistence::submitDevice(const DeviceRow& row) {
    noteRefusal(queue_.push(kDeviceRecord, {asBytes(&row, sizeof row)}));
}

void Persistence::submitAlert(const AlertRow& row) {
    noteRefusal(queue_.push(kAlertRecord, {asBytes(&row, sizeof row)}));
}

void Persistence::submitAlertStatus(const AlertStatusRow& row) {
    noteRefusal(queue_.push(kAlertStatusRecord, {asBytes(&row, sizeof row)}));
}

void Persistence::submitIndicator(const Indicator& ind) {
    noteRefusal(queue_.push(kIndicatorRecord, {asBytes(&ind, sizeof ind)}));
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
            statements_.writeGraph(*snapshots_[graph]);
            std::lock_guard<std::mutex> l(request_mu_);
            snapshot_writing_ = -1;
        }
        if (purge) statements_.purgeOldEvents(days);
        // The 5 s rule also holds when no further event arrives.
        flushIfDue();
        if (last) break;
        // Let a trickle gather: waking for every record would cost the
        // listener a wake-up call per event and both threads the switches.
        if (records_.size() < kGatherBytes) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kGatherMs));
        }
    }
    std::lock_guard<std::mutex> l(done_mu_);
    thread_done_ = true;
    done_cv_.notify_all();
}

void Persistence::applyRecords(const std::vector<char>& buf) {
    WorkQueue::forEach(buf, [&](u8 kind, std::string_view payload) {
        switch (kind) {
            case kEventRecord: {
                EventHead h;
                std::memcpy(&h, payload.data(), sizeof h);
                std::string_view ip = payload.substr(sizeof h, h.source_ip_len);
                std::string_view raw = payload.substr(sizeof h + h.source_ip_len, h.raw_data_len);
                batch_->bufferEvent(h.event_type, ip, raw, h.timestamp);
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
                Err e = statements_.insertAlert(*row);
                if (e != Err::None) logWarn("pipeline", "failed to persist alert: {}", e);
                break;
            }
            case kAlertStatusRecord: {
                AlertStatusRow row;
                std::memcpy(&row, payload.data(), sizeof row);
                statements_.updateAlertStatus(row);
                break;
            }
            case kIndicatorRecord: {
                Indicator ind;
                std::memcpy(&ind, payload.data(), sizeof ind);
                statements_.upsertIndicator(ind);
                break;
            }
            default:
                break;
        }
    });
}

void Persistence::flushIfDue() {
    if (flush_failed_ || !batch_->shouldFlush(now())) return;
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
    statements_.upsertDevices(device_rows_.data(), static_cast<u32>(device_rows_.size()));
}

// ---------------------------------------------------------------- events

Err Persistence::flushEvents() {
    // Nothing pending: the flush clock keeps running from the last write.
    if (batch_->event_count == 0) return Err::None;
    Result<u32> written = statements_.writeEvents(*batch_);
    if (!written.ok()) {
        write_failures_.fetch_add(1, std::memory_order_relaxed);
        return written.err;
    }
    events_written_.fetch_add(written.value, std::memory_order_relaxed);
    batch_->markFlushed(now());
    return Err::None;
}

}  // namespace tarvex
