// lifetime_stats.cpp: the lifetime totals endpoint.
#include "api/lifetime_stats.h"

#include "api/analytics.h"
#include "engine_state.h"
#include "storage/persistence.h"

namespace tarvex {

Err handleGetLifetimeStats(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    Persistence* db = state.db;
    if (!db) return replyJson(res, 200, kLifetimeStatsNoDatabaseBody);
    return queryAnalytics(*db, AnalyticsQuery::lifetime, parseRange(std::nullopt), req, res);
}

}  // namespace tarvex
