// engine_state.cpp: creating the engine tables and reading their counters.
#include "engine_state.h"

#include <cstring>

#include "common/clock.h"
#include "common/table.h"

namespace tarvex {

std::unique_ptr<EngineState> EngineState::create(u32 max_devices) {
    std::unique_ptr<EngineState> s(new EngineState());
    s->fp = mapZeroed<FingerprintEngine>();
    s->graph = mapZeroed<Graph>();
    s->act = mapZeroed<ActivationMap>();
    s->streaks = mapZeroed<StreakTracker>();
    s->baseline = mapZeroed<BaselineEngine>();
    s->alerts = mapZeroed<AlertManager>();
    s->ring = mapZeroed<RingBuffer>();
    if (!s->fp || !s->graph || !s->act || !s->streaks || !s->baseline || !s->alerts || !s->ring)
        return nullptr;  // the destructor unmaps what was mapped
    s->fp->init(max_devices);
    s->baseline->init();
    s->alerts->init();
    s->clock = wallSeconds;
    return s;
}

EngineState::~EngineState() {
    unmapTable(ring);
    unmapTable(alerts);
    unmapTable(baseline);
    unmapTable(streaks);
    unmapTable(act);
    unmapTable(graph);
    unmapTable(fp);
}

CountersSnapshot EngineState::readCounters() const {
    CountersSnapshot s{};
    s.events_processed = counters.events_processed;
    s.events_dropped = counters.events_dropped;
    s.anomalies = counters.anomalies_detected;
    s.collisions = counters.collisions_detected;
    s.events_per_second = currentEps();
    s.devices = fp->device_count;
    s.alerts = alerts->alert_count;
    s.graph_nodes = graph->node_count;
    s.graph_edges = graph->edge_count;
    return s;
}

f32 EngineState::currentEps() const {
    if (history.pos == 0) return 0.0f;
    return history.entries[(history.pos - 1) % kHistoryCapacity].events_per_second;
}

u32 EngineState::copyHistory(CountersSnapshot (&out)[kHistoryCapacity]) const {
    if (history.count < kHistoryCapacity) {
        std::memcpy(out, history.entries, sizeof(CountersSnapshot) * history.count);
        return history.count;
    }
    u32 start = history.pos % kHistoryCapacity;
    for (u32 i = 0; i < kHistoryCapacity; ++i)
        out[i] = history.entries[(start + i) % kHistoryCapacity];
    return kHistoryCapacity;
}

void EngineState::recordSnapshot(i64 now, f32 events_per_second) {
    CountersSnapshot s = readCounters();
    s.timestamp = now;
    s.events_per_second = events_per_second;
    history.entries[history.pos % kHistoryCapacity] = s;
    history.pos += 1;
    history.count = history.count + 1 < kHistoryCapacity ? history.count + 1 : kHistoryCapacity;
}

}  // namespace tarvex
