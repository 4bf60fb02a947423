// metrics.h: the daemon's counters for Prometheus.
#pragma once

#include "api/context.h"

namespace tarvex {

// GET /metrics: the counters and gauges in the Prometheus text format
// (version 0.0.4): events processed, by type, dropped (by the kernel and by
// the database write queue), anomalies, collisions, devices, alerts by
// severity, graph size, database writes and their failures, feed clients and
// HTTP responses by status. Counters are named tarvex_*_total; the values
// that also appear in GET /api/stats are the same readings.
Err handleMetrics(ServerState& state, HttpRequest& req, HttpResponse& res);

}  // namespace tarvex
