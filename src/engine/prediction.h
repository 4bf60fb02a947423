// prediction.h: the two-layer predictive model behind a device baseline.
//
// A PredictionModel holds a 32-feature input vector and two layers of 32
// units with their prediction errors, a 32 x 32 weight matrix each and an
// energy figure; normalized_error is what the dashboard shows as the
// device's "surprise". The model is plain data inside a DeviceBaseline.
#pragma once

#include <array>
#include <string_view>

#include "common/types.h"

namespace tarvex {

constexpr u32 kModelFeatures = 32;
constexpr u32 kModelLayers = 2;
constexpr u32 kNamedFeatures = 10;

// Names of feature slots 0..9 (slots 10..31 are unnamed).
constexpr std::array<std::string_view, kNamedFeatures> kFeatureNames = {
    "dns_query_volume",    "dns_unique_domains", "conn_count",
    "unique_destinations", "bytes_in",           "bytes_out",
    "new_dest_rate",       "protocol_diversity", "time_of_day_activity",
    "beacon_regularity",
};

struct PredictionLayer {
    f32 values[kModelFeatures];
    f32 errors[kModelFeatures];  // prediction error per unit
    f32 weights[kModelFeatures * kModelFeatures];
    f32 energy;
};

struct PredictionModel {
    u64 total_steps;
    PredictionLayer layers[kModelLayers];  // layer 0 faces the input
    f32 input[kModelFeatures];
    f32 total_energy;
    f32 energy_ema;
    f32 normalized_error;

    // min(1 + |layer 0 error of the feature|, 2): how strongly the feature
    // currently deviates, between 1.0 and 2.0 (1.0 for an index beyond 31).
    f32 getModulation(u32 feature) const;
};

}  // namespace tarvex
