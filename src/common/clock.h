// clock.h: wall-clock and monotonic time.
#pragma once

#include <ctime>

#include "common/types.h"

namespace tarvex {

// Whole seconds since the Unix epoch, from the wall clock.
inline i64 wallSeconds() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<i64>(ts.tv_sec);
}

// Milliseconds since the Unix epoch, from the wall clock.
inline i64 wallMillis() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<i64>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Nanoseconds from the monotonic clock (for intervals only).
inline i64 monoNanos() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<i64>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace tarvex
