// lifetime_stats.h: the lifetime totals endpoint.
#pragma once

#include "api/context.h"

namespace tarvex {

// GET /api/stats/lifetime: event, device, alert and case totals over the
// whole database; a fixed body without one.
Err handleGetLifetimeStats(ServerState& state, HttpRequest& req, HttpResponse& res);

}  // namespace tarvex
