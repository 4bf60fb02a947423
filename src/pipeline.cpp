// pipeline.cpp: processEvent and its periodic work.
#include "pipeline.h"

#include <cstring>

#include "ingest/classify.h"
#include "storage/persistence.h"

namespace tarvex {

namespace {

void batchTrampoline(void* ctx, const Datagram* batch, unsigned count, u64 kernel_drops) {
    static_cast<Pipeline*>(ctx)->processBatchLocked(batch, count, kernel_drops);
}
void streamTrampoline(void* ctx, const Datagram* batch, unsigned count, u64) {
    Pipeline& p = *static_cast<Pipeline*>(ctx);
    for (unsigned i = 0; i < count; ++i) p.processEvent(batch[i].bytes(), batch[i].sourceIp());
}
void runBegin(void* ctx) {
    static_cast<Pipeline*>(ctx)->state->lock.lockExclusive();
}
void runEnd(void* ctx) {
    static_cast<Pipeline*>(ctx)->state->lock.unlockExclusive();
}

}  // namespace

void Pipeline::init(EngineState& engine, Persistence* db, u32 retention_days_) {
    state = &engine;
    persistence = db;
    feed = nullptr;
    notifier = nullptr;
    last_snapshot_time = last_persist_time = last_retention_time = 0;
    last_snapshot_events = 0;
    retention_days = retention_days_;
    new_device_alerts = false;
    new_device_grace = 0;
    started = now();
    pending_new_count = 0;
    current_event = {};
    std::memset(indicator_memo, 0, sizeof indicator_memo);
}

ListenerTarget Pipeline::listenerTarget() {
    return ListenerTarget{this, batchTrampoline, runBegin, runEnd};
}

ListenerTarget Pipeline::streamTarget() {
    return ListenerTarget{this, streamTrampoline, runBegin, runEnd};
}

void Pipeline::processBatchLocked(const Datagram* batch, unsigned count, u64 kernel_drops) {
    state->counters.events_dropped = kernel_drops;
    for (unsigned i = 0; i < count; ++i) processEvent(batch[i].bytes(), batch[i].sourceIp());
}

void Pipeline::processEvent(std::string_view bytes, std::string_view source_ip) {
    EngineState& s = *state;
    i64 t = now();
    if (pending_new_count != 0) decidePendingNewDevices();
    // 1-2. Keep the raw text, then classify and parse the whole datagram.
    RawEvent& raw = s.ring->push(bytes, source_ip, t);
    current_event = bytes;
    ParsedEvent ev = ingest::classifyAndParse(bytes, t);
    raw.event_type = static_cast<u8>(ev.type);
    s.counters.events_by_type[static_cast<u8>(ev.type)] += 1;

    // 3. Hand the event to the database batch.
    if (persistence) persistence->submitEvent(static_cast<u8>(ev.type), source_ip, bytes, t);

    // 4. Dispatch.
    switch (ev.type) {
        case EventType::syslog_event:
            processSyslog(ev.syslog, source_ip, bytes);
            break;
        case EventType::dhcp_event:
            processDhcp(ev.dhcp, source_ip);
            break;
        case EventType::dns_event:
            processDns(ev.dns, source_ip);
            break;
        case EventType::firewall:
            processFirewall(ev.firewall, source_ip);
            break;
        case EventType::cef:
            processCef(ev.cef, source_ip);
            break;
        case EventType::unknown:
            break;
    }

    // 5-6. Count, and snapshot every 5 s of event-driven time.
    u64 processed = s.counters.events_processed += 1;
    t = now();
    if (t - last_snapshot_time >= kSnapshotInterval) recordSnapshot(t);

    // 7. Graph snapshot every 30 s and retention purge every hour; the
    // persistence thread does the writing.
    if (persistence) {
        if (t - last_persist_time >= kGraphPersistInterval && persistence->submitGraph(*s.graph))
            last_persist_time = t;
        if (t - last_retention_time >= kRetentionInterval) {
            persistence->submitPurge(retention_days);
            last_retention_time = t;
        }
    }

    // 8. Collision detection on every 100th event.
    if (processed % kCollisionEvery == 0) {
        const u32 first_id = s.alerts->next_id;
        s.counters.collisions_detected +=
            runCollisionDetection(*s.act, *s.streaks, *s.graph, *s.alerts, feed);
        if (notifier) notifyAlertsFrom(first_id);
    }

    // 9. The event batch is flushed by the persistence thread as it takes
    // each event (at 100 buffered events or 5 s after the last flush).

    // 10. Live statistics on every 50th event, only when someone listens.
    if (processed % kLiveStatsEvery == 0 && liveFeedListening(feed)) {
        publishStats(feed, s.readCounters());
    }
}

void Pipeline::recordSnapshot(i64 t) {
    const u64 processed = state->counters.events_processed;
    state->recordSnapshot(t, static_cast<f32>(processed - last_snapshot_events) /
                                 static_cast<f32>(t - last_snapshot_time));
    last_snapshot_time = t;
    last_snapshot_events = processed;
}

}  // namespace tarvex
