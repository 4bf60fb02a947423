// server.cpp: the API route table, the health endpoint and server start-up.
#include "api/server.h"

#include <cstdlib>

#include "api/json.h"
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
    {Method::get, "/api/ws", apiRoute<handleUpgrade>},
};

}  // namespace

size_t registerRoutes(Router& router) {
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

Err startServer(ServerState& state) {
    std::string_view host = state.config->getHost();
    u16 port = state.config->port;
    logInfo("server", "starting HTTP server on {}:{}", host, port);
    HttpServer server(&state);
    size_t n = registerRoutes(server.router());
    logInfo("routes", "registered {} API routes", n);
    registerUiRoutes(server.router());
    logInfo("server", "HTTP server listening on {}:{}", host, port);
    return server.listen(host, port);
}

}  // namespace tarvex
