// routes.cpp: the API route table, the health endpoint and server start-up.
#include "api/routes.h"

#include <cstdlib>

#include "api/access.h"
#include "api/alerts.h"
#include "api/analytics.h"
#include "api/cases.h"
#include "api/compliance.h"
#include "api/devices.h"
#include "api/events.h"
#include "api/json.h"
#include "api/lifetime_stats.h"
#include "api/metrics.h"
#include "api/records.h"
#include "api/stats.h"
#include "api/ui.h"
#include "api/ws.h"
#include "common/log.h"
#include "config.h"
#include "http/server.h"

namespace tarvex {

namespace {

struct ApiRouteEntry {
    Method method;
    std::string_view path;
    HttpHandler handler;
};

// The route table, in registration order. Endpoint families add their rows
// here as they land.
constexpr ApiRouteEntry kApiRoutes[] = {
    {Method::get, "/api/health", apiRoute<handleHealth>},
    {Method::get, "/api/devices", apiRoute<handleListDevices>},
    {Method::get, "/api/devices/:id", apiRoute<handleGetDevice>},
    {Method::get, "/api/devices/:id/activity", apiRoute<handleGetDeviceActivity>},
    {Method::get, "/api/alerts", apiRoute<handleListAlerts>},
    {Method::get, "/api/alerts/:id", apiRoute<handleGetAlert>},
    {Method::patch, "/api/alerts/:id", apiRoute<handlePatchAlert>},
    {Method::get, "/api/graph", apiRoute<handleGetGraph>},
    {Method::get, "/api/stats", apiRoute<handleGetStats>},
    {Method::get, "/api/stats/history", apiRoute<handleGetStatsHistory>},
    {Method::get, "/api/ws", apiRoute<handleUpgrade>},
    {Method::get, "/api/events/search", apiRoute<handleSearchEvents>},
    {Method::get, "/api/cases", apiRoute<handleListCases>},
    {Method::get, "/api/cases/:id", apiRoute<handleGetCase>},
    {Method::post, "/api/cases", apiRoute<handleCreateCase>},
    {Method::post, "/api/cases/:id/notes", apiRoute<handleAddCaseNote>},
    {Method::get, "/api/rules", apiRoute<handleListRules>},
    {Method::post, "/api/rules/import", apiRoute<handleImportRule>},
    {Method::get, "/api/indicators", apiRoute<handleListIndicators>},
    {Method::post, "/api/indicators", apiRoute<handleAddIndicator>},
    {Method::post, "/api/indicators/bulk", apiRoute<handleBulkImportIndicators>},
    {Method::get, "/api/response-actions", apiRoute<handleListActions>},
    {Method::get, "/api/compliance/:framework", apiRoute<handleGetCompliance>},
    {Method::get, "/api/compliance/:framework/evidence", apiRoute<handleGetComplianceEvidence>},
    {Method::get, "/api/settings", apiRoute<handleGetSettings>},
    {Method::get, "/api/settings/llm", apiRoute<handleGetLlmSettings>},
    {Method::get, "/api/devices/:id/similar", apiRoute<handleGetSimilarDevices>},
    {Method::get, "/api/devices/:id/baseline", apiRoute<handleGetDeviceBaseline>},
    {Method::get, "/api/analytics/events", apiRoute<handleEventTimeSeries>},
    {Method::get, "/api/analytics/alerts", apiRoute<handleAlertTimeSeries>},
    {Method::get, "/api/analytics/devices", apiRoute<handleDeviceTimeSeries>},
    {Method::get, "/api/analytics/top-talkers", apiRoute<handleTopTalkers>},
    {Method::get, "/api/stats/lifetime", apiRoute<handleGetLifetimeStats>},
    {Method::get, "/metrics", apiRoute<handleMetrics>},
    {Method::put, "/api/devices/:id", apiRoute<handlePutDevice>},
};

}  // namespace

size_t registerRoutes(Router& router) {
    // Every request, on these routes or any added after them, passes the
    // access check first (api/access.h).
    router.setGuard(apiGuard);
    size_t added = 0;
    for (const ApiRouteEntry& r : kApiRoutes) {
        if (!router.add(r.method, r.path, r.handler)) {
            logPlain("failed to create route");
            std::abort();
        }
        ++added;
    }
    return added;
}

Err handleHealth(ServerState&, HttpRequest&, HttpResponse& res) {
    res.content_type = ContentType::json;
    JsonWriter j(res.writer());
    j.beginObject().key("status").str("ok").key("version").str(kVersion).endObject();
    return j.err();
}

namespace {

// Undocumented: tests shorten the engine's time-outs with these.
u32 envMillis(const char* name, u32 dflt) {
    const char* v = std::getenv(name);
    if (!v || !*v) return dflt;
    char* end = nullptr;
    unsigned long n = std::strtoul(v, &end, 10);
    if (*end != 0 || n == 0 || n > 3'600'000) return dflt;
    return static_cast<u32>(n);
}

void logAccess(const ApiAccess& access, std::string_view host, u16 port) {
    if (access.token_required) {
        logInfo("server",
                "API token required on every route but GET /api/health and the "
                "dashboard's files");
        if (access.token_len < 16)
            logWarn("server",
                    "API_TOKEN is only {} characters long: use at least 32 random "
                    "ones, e.g. API_TOKEN=$(openssl rand -hex 32)",
                    access.token_len);
    } else if (!access.loopback_bind) {
        logWarn("server",
                "API_TOKEN is not set and the API listens on {}:{}, not only on loopback: anyone "
                "who can reach this port can read every device and alert and change cases, "
                "notes and indicators. Set API_TOKEN to a long random secret (e.g. "
                "API_TOKEN=$(openssl rand -hex 32) in the environment or the -c file) and sign "
                "in with it in the dashboard, or set HOST=127.0.0.1",
                host, port);
    }
}

}  // namespace

Err startServer(ServerState& state, ServerHooks hooks) {
    std::string_view host = state.config->getHost();
    u16 port = state.config->port;
    logInfo("server", "starting HTTP server on {}:{}", host, port);
    static ApiAccess access;
    access = makeApiAccess(*state.config);
    state.access = &access;
    logAccess(access, host, port);
    HttpServerOptions options;
    options.head_timeout_ms = envMillis("TARVEX_HTTP_HEAD_TIMEOUT_MS", kHeadTimeoutMs);
    options.idle_timeout_ms = envMillis("TARVEX_HTTP_IDLE_TIMEOUT_MS", kIdleTimeoutMs);
    HttpServer server(&state, options);
    state.http = &server.counters();
    size_t n = registerRoutes(server.router());
    logInfo("routes", "registered {} API routes", n);
    registerUiRoutes(server.router());
    if (Err e = server.bind(host, port); e != Err::None) return e;
    logInfo("server", "HTTP server listening on {}:{}", host, port);
    if (hooks.listening) hooks.listening(hooks.ctx, server);
    return server.serve();
}

}  // namespace tarvex
