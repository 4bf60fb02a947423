// pipeline.h: the per-event driver.
//
// Every received datagram passes through Pipeline::processEvent: it is kept
// in the event ring, classified and parsed, handed to the handler for its
// type (which turns it into devices, graph facts, activation waves and
// alerts), counted, and then the periodic work that has no timer thread of
// its own runs as due: statistics snapshots every 5 s, collision detection
// on every 100th event, the live statistics message on every 50th, and with
// a database a graph snapshot every 30 s and the retention purge every hour.
// Database work is handed to the persistence thread and never waited on.
//
// Thread-safety: processEvent runs only on the listener thread, with
// `state_lock` held exclusively (the listener takes it once per run of at
// most kBatchesPerRun batches; processBatch once per batch). Readers of
// anything the pipeline writes (the engine tables, the ring, the counters,
// the history) take `state_lock` shared, copy what they need, and release it
// before doing any I/O.
#pragma once

#include <optional>
#include <string_view>

#include "alert/manager.h"
#include "common/live_feed.h"
#include "common/state_lock.h"
#include "common/types.h"
#include "engine/activation.h"
#include "engine/baseline.h"
#include "engine/collision.h"
#include "engine/fingerprint.h"
#include "engine/graph.h"
#include "ingest/event.h"
#include "ingest/listener.h"
#include "storage/ring_buffer.h"

namespace tarvex {

class Persistence;  // the database write path; absent without a database

constexpr u32 kHistoryCapacity = 360;
constexpr i64 kSnapshotInterval = 5;         // seconds
constexpr u64 kCollisionEvery = 100;         // events
constexpr u64 kLiveStatsEvery = 50;          // events
constexpr i64 kGraphPersistInterval = 30;    // seconds, with a database
constexpr i64 kRetentionInterval = 3600;     // seconds, with a database
constexpr u32 kSyslogAddressesPerEvent = 8;  // local addresses taken from one syslog text

struct StatsSnapshot {
    i64 timestamp;
    u64 events_processed;
    u64 anomalies;
    f32 events_per_second;
    u32 devices;
    u32 alerts;
    u32 graph_nodes;
    u32 graph_edges;
};

struct Stats {
    u64 events_processed;
    u64 events_dropped;
    u64 anomalies_detected;
    u64 collisions_detected;
    u32 devices_tracked;
    u32 active_alerts;
    u32 graph_nodes;
    u32 graph_edges;
};

// One dotted IPv4 address found inside a longer text.
struct Ipv4Result {
    std::string_view text;  // the address
    size_t span;            // bytes from the scan position to the address end
};

// Private-address test on the text form (10/8, 127/8, 192.168/16,
// 169.254/16, 172.16/12, 100.64/10).
bool isLocalIp(std::string_view text);
// The first dotted IPv4 address in `text`, scanning from the start.
std::optional<Ipv4Result> extractIpv4(std::string_view text);
// Bit 1 of the first byte: a locally administered (randomised) address.
inline bool isLocallyAdministeredMac(const u8 mac[6]) {
    return (mac[0] & 0x02) != 0;
}
// The vendor prefix: the first three bytes as "AA:BB:CC".
struct OuiText {
    char s[8];
    std::string_view view() const { return {s, 8}; }
};
OuiText macOui(const u8 mac[6]);
// A stable, locally administered unicast MAC derived from a host name, so a
// device that randomises its MAC still keeps one record per host name.
MacAddr stableHostnameMac(std::string_view hostname);

struct Pipeline {
    FingerprintEngine* fp_engine;
    Graph* graph;
    ActivationMap* act_map;
    StreakTracker* streak_tracker;
    BaselineEngine* baseline_engine;
    AlertManager* alerts;
    RingBuffer* events;
    Persistence* persistence;  // nullptr without a database
    const LiveFeed* feed;      // nullptr until the HTTP side provides one

    u64 events_processed;
    u64 events_dropped;  // datagrams the kernel dropped on the listener socket
    u64 anomalies_detected;
    u64 collisions_detected;
    StatsSnapshot history[kHistoryCapacity];
    i64 last_snapshot_time;
    u64 last_snapshot_events;
    i64 last_persist_time;
    i64 last_retention_time;
    u32 history_pos;    // snapshots ever written
    u32 history_count;  // snapshots held, at most 360
    u32 retention_days;

    // The wall clock in seconds; tests substitute their own.
    i64 (*clock)();

    StateLock state_lock;

    void init(FingerprintEngine& fp, Graph& g, ActivationMap& am, StreakTracker& st,
              BaselineEngine& be, AlertManager& al, RingBuffer& ring, Persistence* db,
              u32 retention_days_);

    // One datagram (the caller holds state_lock exclusively).
    void processEvent(std::string_view bytes, std::string_view source_ip);
    // One received batch, in order, under one exclusive hold of state_lock.
    void processBatch(const Datagram* batch, unsigned count, u64 kernel_drops);
    // As processBatch, with state_lock already held exclusively.
    void processBatchLocked(const Datagram* batch, unsigned count, u64 kernel_drops);
    // The listener target: it holds state_lock exclusively for each run of
    // batches and feeds processBatchLocked.
    ListenerTarget listenerTarget();

    // Readers call these with state_lock held shared.
    Stats getStats() const;
    f32 currentEps() const;
    // Copies the held snapshots, oldest first, into out; returns how many.
    u32 getHistory(StatsSnapshot (&out)[kHistoryCapacity]) const;
    LiveStats liveStats() const;

    void recordSnapshot(i64 now);

    // Handlers (listener thread, state_lock held exclusively).
    void processSyslog(const SyslogMessage& event, std::string_view source_ip,
                       std::string_view datagram);
    void processDhcp(const DhcpEvent& event, std::string_view source_ip);
    void processDns(const DnsEvent& event, std::string_view source_ip);
    void processFirewall(const FirewallEvent& event, std::string_view source_ip);
    void processCef(const CefEvent& event, std::string_view source_ip);

    // Find an active node of this name and type, or add it; nothing when the
    // graph is full or the name is unusable.
    std::optional<u32> ensureNode(std::string_view name, NodeType type);
    void tryIdentifyDevice(const u8 mac[6]);
    void persistDeviceState(const u8 mac[6], std::string_view fallback_label);
};

}  // namespace tarvex
