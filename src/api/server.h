// server.h: the API server frame: shared handler state, routes, start-up.
//
// ServerState is the one context every API handler receives. It holds only
// non-owning pointers to objects that start-up creates and that live for the
// whole process; it is filled before startServer and never changes after.
// The tables behind it are written by the pipeline thread while handlers run:
// a handler takes `lock` shared only while it copies what it needs into
// request-local memory (the request's Arena), and writes JSON after.
#pragma once

#include <string_view>

#include "common/error.h"
#include "common/types.h"
#include "http/message.h"
#include "http/router.h"

namespace tarvex {

struct Config;
struct FingerprintEngine;
struct Graph;
struct AlertManager;
struct Pipeline;
struct CaseManager;
struct RuleEngine;
struct IndicatorStore;
struct ActionManager;
struct LlmManager;
struct BaselineEngine;
class StateLock;

struct ServerState {
    const Config* config = nullptr;
    FingerprintEngine* fp_engine = nullptr;
    Graph* graph = nullptr;
    AlertManager* alerts = nullptr;
    const u64* events_processed = nullptr;
    const u64* anomalies_detected = nullptr;
    Pipeline* pipeline = nullptr;
    CaseManager* cases = nullptr;
    RuleEngine* rules = nullptr;
    IndicatorStore* indicators = nullptr;
    ActionManager* actions = nullptr;
    LlmManager* llm = nullptr;
    BaselineEngine* baseline = nullptr;
    // The reader/writer lock over the engine tables (see state_lock.h).
    StateLock* lock = nullptr;
};

// Every API handler has this shape; it returns an error only when it cannot
// answer (the engine then replies 500 and logs the request).
using ApiHandler = Err (*)(ServerState& state, HttpRequest& req, HttpResponse& res);

// Adapts an ApiHandler to the engine's handler signature.
template <ApiHandler H>
Err apiRoute(void* ctx, HttpRequest& req, HttpResponse& res) {
    return H(*static_cast<ServerState*>(ctx), req, res);
}

// Adds the API's route table to `router` in order and returns how many
// routes it registered. A route the router cannot store stops the process
// with "failed to create route".
size_t registerRoutes(Router& router);

// Logs, creates the HTTP server on the configured host and port, registers
// the routes and serves until the server is stopped. Returns an error only
// when the server cannot be set up or bound.
Err startServer(ServerState& state);

// Bodies shared by several endpoints.
constexpr std::string_view kBodyBadQuery = "{\"error\":\"bad query string\"}";
constexpr std::string_view kBodyNotFound = "{\"error\":\"not found\"}";
constexpr std::string_view kBodyMissingBody = "{\"error\":\"missing request body\"}";

// Sets a JSON reply with a fixed body and status.
inline Err replyJson(HttpResponse& res, u16 status, std::string_view body) {
    res.content_type = ContentType::json;
    res.status = status;
    res.setBody(body);
    return Err::None;
}

// GET /api/health
Err handleHealth(ServerState& state, HttpRequest& req, HttpResponse& res);

}  // namespace tarvex
