// baseline.cpp: the baseline table's start state and lookup.
#include "engine/baseline.h"

#include <cstring>

namespace tarvex {

void BaselineEngine::init() {
    device_count = 0;
    anomaly_threshold = 0.5f;
    learning_window_count = 672;
    for (DeviceBaseline& d : devices) d.active = false;
}

const DeviceBaseline* BaselineEngine::findDevice(const u8 mac[6]) const {
    for (const DeviceBaseline& d : devices)
        if (d.active && std::memcmp(d.mac, mac, 6) == 0) return &d;
    return nullptr;
}

}  // namespace tarvex
