// routes.h: the API's route table and the server start-up that serves it.
//
// The table lists every API route with its handler, in registration order;
// the handlers live in one file per endpoint family and see only the frame
// of api/context.h. Start-up runs on the main thread.
#pragma once

#include "api/context.h"

namespace tarvex {

// Adds the API's route table to `router` in order and returns how many
// routes it registered. A route the router cannot store stops the process
// with "failed to create route".
size_t registerRoutes(Router& router);

class HttpServer;

// What start-up learns from the server: `listening` runs on the main thread
// once the server is bound, before it serves (the service is ready then;
// HttpServer::stop, from any thread, ends serving).
struct ServerHooks {
    void* ctx = nullptr;
    void (*listening)(void* ctx, HttpServer& server) = nullptr;
};

// Logs, creates the HTTP server on the configured host and port, registers
// the routes and serves until the server is stopped. Returns an error only
// when the server cannot be set up or bound.
Err startServer(ServerState& state, ServerHooks hooks = {});

// GET /api/health
Err handleHealth(ServerState& state, HttpRequest& req, HttpResponse& res);

}  // namespace tarvex
