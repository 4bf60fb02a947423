// baseline.h: per-device behavioural baselines.
//
// BaselineEngine reserves a PredictionModel for up to 2048 devices, keyed by
// hardware address. No step of the daemon feeds observations into it yet,
// so every slot stays inactive and the device baseline endpoint answers that
// there is no baseline data; the table fixes the data model and the reads
// so that the endpoint and a later learning step agree on them.
//
// Valid when zero-filled; init() sets the starting values. Written only at
// start, before the HTTP server runs; read by HTTP handler threads.
#pragma once

#include "common/types.h"
#include "engine/prediction.h"

namespace tarvex {

constexpr u32 kMaxBaselines = 2048;

struct DeviceBaseline {
    PredictionModel model;
    i64 last_observation;  // wall-clock seconds
    u32 observation_count;
    u8 mac[6];
    bool learning;
    bool active;
};

struct BaselineEngine {
    DeviceBaseline devices[kMaxBaselines];
    u32 device_count;
    f32 anomaly_threshold;
    u32 learning_window_count;  // observation windows in the learning phase

    // No baselines, threshold 0.5, a learning phase of 672 windows.
    void init();
    // The first active baseline with this address, or nullptr.
    const DeviceBaseline* findDevice(const u8 mac[6]) const;
};

}  // namespace tarvex
