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
// The pipeline owns no table: it changes the EngineState it is given.
//
// Thread-safety: processEvent runs only on the listener thread, with the
// engine state's lock held exclusively (the listener takes it once per run
// of at most kBatchesPerRun batches through the listener target). Readers
// of anything the pipeline writes (the engine tables, the ring, the
// counters, the history) take that lock shared, copy what they need, and
// release it before doing any I/O.
#pragma once

#include <optional>
#include <string_view>

#include "alert/new_device.h"
#include "common/live_feed.h"
#include "common/types.h"
#include "engine_state.h"
#include "ingest/event.h"
#include "ingest/listener.h"

namespace tarvex {

class Notifier;     // alerts pushed out; absent when NOTIFY_URL is not set
class Persistence;  // the database write path; absent without a database

constexpr i64 kSnapshotInterval = 5;         // seconds
constexpr u64 kCollisionEvery = 100;         // events
constexpr u64 kLiveStatsEvery = 50;          // events
constexpr i64 kGraphPersistInterval = 30;    // seconds, with a database
constexpr i64 kRetentionInterval = 3600;     // seconds, with a database
constexpr u32 kSyslogAddressesPerEvent = 8;  // local addresses taken from one syslog text
constexpr u32 kPendingNewDevices = 64;       // new devices held while the restore runs
constexpr u32 kIndicatorAlertMemo = 1024;    // (indicator, device) pairs remembered
constexpr i64 kIndicatorAlertWindow = 3600;  // seconds between alerts of one pair

struct IndicatorEntry;

// When an indicator last raised an alert for one device.
struct IndicatorAlertMemo {
    u64 key;  // hash of the indicator and the device; 0 = empty
    i64 at;
};

// An event's side of an indicator match: what the alert names.
struct IndicatorSighting {
    std::string_view matched;    // the event's text that matched
    std::string_view device;     // the local party's address, when `mac` is nullptr
    const u8* mac;               // the local party's MAC (it names the device), or nullptr
    std::string_view source_ip;  // the alert's addresses
    std::string_view dest_ip;
    std::optional<u32> seed;  // node an activation wave starts from
    // Or the address whose node it is, looked up only on a hit.
    std::string_view seed_address;
};

constexpr u32 kDhcpExchanges = 64;  // dnsmasq log-dhcp exchanges joined at once
constexpr i64 kAliasWindow = 3600;  // seconds: two randomised addresses with one
                                    // host name heard within it are two devices

// One dnsmasq log-dhcp exchange: what its detail lines said, waiting for
// (or delivered to) the device of the same transaction id. The requested
// options arrive over several lines; `options_open` while a line ended with
// ", ", `options_bad` once a line was seen to be missing.
struct DhcpExchange {
    u64 touched;  // use order; 0 = free slot
    u32 xid;
    bool has_key;
    bool options_open;
    bool options_bad;
    bool options_ready;  // a complete list not yet delivered
    u8 key[6];           // the device table's key, once a message line named the client
    u8 mac[6];
    u8 vendor_class_len;
    u8 hostname_len;
    u8 options_len;
    char vendor_class[64];
    char hostname[64];
    char options[kOption55Cap];
};

struct Pipeline {
    EngineState* state;
    Persistence* persistence;  // nullptr without a database
    const LiveFeed* feed;      // nullptr until the HTTP side provides one
    Notifier* notifier;        // nullptr without notifications

    // When the periodic work last ran (event-driven time, seconds).
    i64 last_snapshot_time;
    u64 last_snapshot_events;
    i64 last_persist_time;
    i64 last_retention_time;
    u32 retention_days;

    // New-device alerts (off until enableNewDeviceAlerts). Until the restore
    // has finished (with a database) the facts of new keys wait in
    // `pending_new`; a full list drops the newest, logged rate-limited.
    bool new_device_alerts;
    u32 new_device_grace;  // seconds after `started` without them, on a first start
    i64 started;           // when the pipeline started (its clock)
    u32 pending_new_count;
    NewDeviceFacts pending_new[kPendingNewDevices];

    // Indicator alerts (indicator_hits.cpp): the raw text of the event being
    // handled, for the evidence, and the pairs recently alerted.
    std::string_view current_event;
    IndicatorAlertMemo indicator_memo[kIndicatorAlertMemo];

    // dnsmasq log-dhcp exchanges by transaction id (fixed table; the least
    // recently used slot is reused).
    u64 exchange_clock;
    DhcpExchange exchanges[kDhcpExchanges];

    void init(EngineState& engine, Persistence* db, u32 retention_days_);

    // One datagram (the caller holds the state lock exclusively).
    void processEvent(std::string_view bytes, std::string_view source_ip);
    // One received batch, in order; the caller holds the state lock
    // exclusively.
    void processBatchLocked(const Datagram* batch, unsigned count, u64 kernel_drops);
    // The listener target: it holds the state lock exclusively for each run
    // of batches and feeds processBatchLocked.
    ListenerTarget listenerTarget();
    // The stream reader's target: the same, but its batches leave the
    // kernel's UDP drop count alone (a stream loses nothing in the kernel).
    ListenerTarget streamTarget();

    // Appends a history snapshot with the rate since the previous one.
    void recordSnapshot(i64 now);

    // Handlers (listener thread, state lock held exclusively; handlers.cpp).
    void processSyslog(const SyslogMessage& event, std::string_view source_ip,
                       std::string_view datagram);
    void processDhcp(const DhcpEvent& event, std::string_view source_ip);
    void processDns(const DnsEvent& event, std::string_view source_ip);
    // What a DNS query teaches the graph and the fingerprints.
    void learnDns(const DnsEvent& event, std::string_view address);
    void processFirewall(const FirewallEvent& event, std::string_view source_ip);
    void processCef(const CefEvent& event, std::string_view source_ip);

    // Find an active node of this name and type, or add it; nothing when the
    // graph is full or the name is unusable.
    std::optional<u32> ensureNode(std::string_view name, NodeType type);
    void persistDeviceState(const u8 mac[6], std::string_view fallback_label);

    // Identification (handlers.cpp): the record for a key, created with its
    // vendor name looked up once; the facts of a DHCP exchange folded in
    // (each only when new for the device; true when the rules' view
    // changed); a randomised address resolved to its table key.
    DeviceFingerprint* deviceFor(const u8 key[6], const u8 mac[6], bool& created);
    bool learnDhcpFacts(DeviceFingerprint& d, std::string_view hostname, std::string_view options,
                        std::string_view vendor_class);
    std::optional<MacAddr> keyFor(const u8 mac[6], std::string_view hostname);
    DhcpExchange* exchangeFor(u32 xid, bool create);
    void processDhcpDetail(const DhcpEvent& event);

    // Turns on new-device alerts with a grace of `grace` seconds from now
    // (start-up, from the settings; tests).
    void enableNewDeviceAlerts(u32 grace);
    // A key the device table did not hold before this event and holds now
    // (new_devices.cpp): alerts once the restore says it is unknown and the
    // grace of a first start has passed.
    void noteNewDevice(const NewDeviceFacts& facts);
    // Decides the facts held while the restore ran, once it has finished.
    void decidePendingNewDevices();
    // Publishes a created alert on the live feed, offers it to the notifier
    // and, when asked, writes it to the database.
    void announceAlert(u32 id, bool persist, bool new_device = false);
    // Offers the alerts with ids from `first` up to next_id to the notifier
    // (those collision detection just made).
    void notifyAlertsFrom(u32 first);

    // Indicator matching (indicator_hits.cpp; listener thread, lock held).
    // Each matches one value of the event against the published index and,
    // on a hit, counts it and raises the alert (noteIndicatorHit). Nothing
    // is done while no indicator is loaded.
    void matchIndicatorAddress(std::string_view address, const IndicatorSighting& s);
    void matchIndicatorDomain(std::string_view name, const IndicatorSighting& s);
    void matchIndicatorUrl(std::string_view url, const IndicatorSighting& s);
    void matchIndicatorHash(std::string_view hash, const IndicatorSighting& s);
    // Counts the hit; at most once per indicator and device an hour raises
    // an alert with the indicator's severity and seeds an activation wave.
    void noteIndicatorHit(const IndicatorEntry& e, const IndicatorSighting& s);

  private:
    i64 now() const { return state->clock(); }
};

}  // namespace tarvex
