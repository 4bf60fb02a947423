// prediction.cpp: read operations of the predictive model.
#include "engine/prediction.h"

#include <algorithm>
#include <cmath>

namespace tarvex {

f32 PredictionModel::getModulation(u32 feature) const {
    if (feature >= kModelFeatures) return 1.0f;
    return std::min(1.0f + std::fabs(layers[0].errors[feature]), 2.0f);
}

}  // namespace tarvex
