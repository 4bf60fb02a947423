// engine_state.h: everything the pipeline learns, in one place.
//
// EngineState holds the engine tables (fingerprints and profiles, the entity
// graph, the activation map, collision streaks, baselines, alerts), the ring
// of raw events, the counters with their history, and the one lock over all
// of them. It is created once at start, every table at full capacity and
// zero-filled, and lives until the process exits; start-up passes it by
// reference to the pipeline, the API, the restore thread, and tests build
// their rigs from it. It is the only list of the tables.
//
// Thread-safety: the listener thread writes the tables, the ring and the
// counters with `lock` held exclusively (the restore thread too, one batch
// of rows at a time). HTTP handlers take `lock` shared, copy what they need
// into request memory and release it before writing JSON. The const readers
// below expect the caller to hold `lock` at least shared.
#pragma once

#include <atomic>
#include <memory>

#include "alert/manager.h"
#include "common/counters.h"
#include "common/state_lock.h"
#include "common/types.h"
#include "engine/activation.h"
#include "engine/baseline.h"
#include "engine/collision.h"
#include "engine/fingerprint.h"
#include "engine/graph.h"
#include "engine/oui_registry.h"
#include "storage/ring_buffer.h"

namespace tarvex {

class IndicatorIndex;

constexpr u32 kHistoryCapacity = 360;  // 30 minutes of 5-second snapshots

// What the pipeline counts (under `lock` held exclusively).
struct EngineCounters {
    u64 events_processed;
    u64 events_dropped;  // the kernel's count of datagrams dropped on the socket
    u64 anomalies_detected;
    u64 collisions_detected;
    u64 events_by_type[6];  // by EventType, as classified
};

// The newest kHistoryCapacity snapshots, a ring in order of writing.
struct CounterHistory {
    CountersSnapshot entries[kHistoryCapacity];
    u32 pos;    // snapshots ever written
    u32 count;  // snapshots held, at most kHistoryCapacity
};

class EngineState {
  public:
    // Maps every table and initialises it; the fingerprint table takes its
    // device limit from `max_devices`. nullptr when the system has no memory
    // for a table (nothing is left mapped then).
    static std::unique_ptr<EngineState> create(u32 max_devices);
    ~EngineState();
    EngineState(const EngineState&) = delete;
    EngineState& operator=(const EngineState&) = delete;

    FingerprintEngine* fp = nullptr;
    Graph* graph = nullptr;
    ActivationMap* act = nullptr;
    StreakTracker* streaks = nullptr;
    BaselineEngine* baseline = nullptr;
    AlertManager* alerts = nullptr;
    RingBuffer* ring = nullptr;
    // Vendor names of address prefixes (systemd's hardware database), asked
    // once per new device by the listener and the restore, under `lock`.
    OuiRegistry oui;

    // The threat indicators the listener matches events with: published by
    // the indicator store (a new index swapped in under `lock` held
    // exclusively), read by the listener under its hold; nullptr until the
    // store is attached.
    const IndicatorIndex* indicators = nullptr;

    EngineCounters counters{};
    CounterHistory history{};
    StateLock lock;
    // The wall clock in seconds; tests substitute their own.
    i64 (*clock)() = nullptr;
    // The restore's outcome, for the new-device check: the restore thread
    // sets restore_found_devices, then restore_done (release); the listener
    // reads restore_done (acquire) first. Start-up sets restore_done itself
    // when there is no restore to wait for.
    std::atomic<bool> restore_done{false};
    std::atomic<bool> restore_found_devices{false};

    // The counters and table counts now, with the newest snapshot's rate.
    CountersSnapshot readCounters() const;
    // The events-per-second rate of the newest snapshot, 0 when there is none.
    f32 currentEps() const;
    // Copies the held snapshots, oldest first, into out; returns how many.
    u32 copyHistory(CountersSnapshot (&out)[kHistoryCapacity]) const;
    // Appends a snapshot of the counters taken at `now` with the given rate
    // (the writer holds `lock` exclusively).
    void recordSnapshot(i64 now, f32 events_per_second);

  private:
    EngineState() = default;
};

}  // namespace tarvex
