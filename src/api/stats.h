// stats.h: the headline statistics and statistics history endpoints.
#pragma once

#include "api/context.h"
#include "engine/graph.h"

namespace tarvex {

// Active address nodes whose name is a private address. The caller holds
// the state lock.
u32 countActiveIpNodes(const Graph& graph);

// GET /api/stats: devices (fingerprinted plus local address nodes), alerts,
// counters, graph size and the newest events-per-second figure.
Err handleGetStats(ServerState& state, HttpRequest& req, HttpResponse& res);
// GET /api/stats/history: the held statistics snapshots, oldest first.
Err handleGetStatsHistory(ServerState& state, HttpRequest& req, HttpResponse& res);

}  // namespace tarvex
