// counters.h: one reading of the engine's headline counters.
//
// The pipeline counts; everything that shows the counts reads them as one
// CountersSnapshot taken under the engine-state lock: the statistics
// endpoint, the history of 5-second snapshots, the live feed's statistics
// message. A plain value: copy it freely.
#pragma once

#include "common/types.h"

namespace tarvex {

struct CountersSnapshot {
    i64 timestamp;  // when it was taken (history entries); 0 for a live reading
    u64 events_processed;
    u64 events_dropped;  // datagrams the kernel dropped on the listener socket
    u64 anomalies;
    u64 collisions;
    f32 events_per_second;  // of the newest history entry, 0 when there is none
    // Fingerprinted devices. The statistics endpoint's "devices" adds the
    // local addresses seen without a device behind them (see api/stats.cpp).
    u32 devices;
    u32 alerts;
    u32 graph_nodes;
    u32 graph_edges;
};

}  // namespace tarvex
