// context.h: the frame every API handler works in: the state it is given,
// its signature, and the reply helpers and bodies several handlers share.
//
// ServerState is the one context every API handler receives. It holds only
// non-owning pointers to objects that start-up creates and that live for the
// whole process; it is filled before the server starts and never changes
// after. The engine tables behind it are written by the listener thread
// while handlers run: a handler takes the engine's lock shared only while it
// copies what it needs into request-local memory (the request's Arena), and
// writes JSON after. The stores serialise their own writers.
#pragma once

#include <string_view>

#include "common/error.h"
#include "common/types.h"
#include "http/message.h"
#include "http/router.h"

namespace tarvex {

struct Config;
struct ApiAccess;
class EngineState;
class HttpCounters;
class Notifier;
class Persistence;
struct CaseManager;
struct RuleEngine;
struct IndicatorStore;
struct ActionManager;
struct LlmManager;
struct StreamCounters;

struct ServerState {
    const Config* config = nullptr;
    // Who may use the API (api/access.h); nullptr lets every request in.
    const ApiAccess* access = nullptr;
    // The tables, the ring, the counters and their lock.
    EngineState* engine = nullptr;
    // The database: the analytics answers and the alert detail's related
    // events. nullptr without one.
    Persistence* db = nullptr;
    CaseManager* cases = nullptr;
    RuleEngine* rules = nullptr;
    IndicatorStore* indicators = nullptr;
    ActionManager* actions = nullptr;
    LlmManager* llm = nullptr;
    // What the HTTP server has answered (set by startServer).
    const HttpCounters* http = nullptr;
    // The stream reader's connections and refusals; nullptr in rigs without
    // one (they then show as zero).
    const StreamCounters* streams = nullptr;
    // Notifications sent, failed, dropped and digested; nullptr without
    // them (zeros are shown).
    const Notifier* notifier = nullptr;
};

// Every API handler has this shape; it returns an error only when it cannot
// answer (the engine then replies 500 and logs the request).
using ApiHandler = Err (*)(ServerState& state, HttpRequest& req, HttpResponse& res);

// Adapts an ApiHandler to the engine's handler signature.
template <ApiHandler H>
Err apiRoute(void* ctx, HttpRequest& req, HttpResponse& res) {
    return H(*static_cast<ServerState*>(ctx), req, res);
}

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

}  // namespace tarvex
