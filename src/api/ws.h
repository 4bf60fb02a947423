// ws.h: the dashboard's WebSocket live feed on GET /api/ws.
//
// A process-wide registry of at most 64 feed connections, guarded by its own
// mutex. Clients get a welcome message on connect, a pong for the text
// "ping", every new alert and, every 50th event, the headline counters.
// Publishing (broadcast, broadcastAlert, broadcastStats) runs on the pipeline
// thread and never blocks on a client: each write goes to the connection's
// bounded output buffer, and a client whose buffer is full is dropped from
// the registry and disconnected while the others keep receiving.
//
// Thread-safe: every operation may be called from any thread.
#pragma once

#include <string_view>

#include "api/context.h"
#include "common/format.h"
#include "common/live_feed.h"
#include "http/server.h"

namespace tarvex {

constexpr u32 kMaxFeedClients = 64;
constexpr size_t kFeedMessageBytes = 512;

// GET /api/ws: checks the upgrade request and hands the connection to the
// feed, or answers 400 {"error":"invalid websocket upgrade request"}.
// With API_TOKEN set (api/access.h) the client proves it knows the token in
// one of three ways, never in the URL: the subprotocol offer
// "tarvex-token.<token>" (offer "tarvex" beside it; the reply selects
// "tarvex" and never echoes the token), an "Authorization: Bearer" header,
// or, with neither, a first message {"type":"auth","token":"<token>"} sent
// within the head time-out (10 s). A wrong token in the offer or header is
// answered 401 before the upgrade; a wrong or missing first message gets
// {"type":"error","error":"unauthorized"} and a 1008 close. Until it has
// signed in a client holds no feed slot and receives nothing.
Err handleUpgrade(ServerState& state, HttpRequest& req, HttpResponse& res);

// The per-connection handler the engine drives after the upgrade.
struct WsHandler {
    WsConn conn;

    // Registers the connection and sends the welcome message (or rejects the
    // client when 64 are connected).
    void afterInit();
    // Answers the text "ping" with the pong message; ignores anything else.
    Err clientMessage(std::string_view data);
    // Unregisters the connection.
    void close();
};

// Takes the first free slot; false (and a warning) when all 64 are taken.
// A non-empty `first_message` is sent to the connection before the registry
// is released (its write result goes to `first_err`), so it precedes every
// broadcast.
bool registerConnection(WsConn conn, std::string_view first_message = {}, Err* first_err = nullptr);
// Frees the connection's slot if it still has one.
void unregisterConnection(WsConn conn);
// The number of registered clients (a lock-free read).
u32 feedClientCount();

// Sends `message` as one text frame to every registered client; a client
// whose write fails is dropped from the registry.
void broadcast(std::string_view message);
// {"type":"alert","data":{"id":N,"title":"T","severity":"S"}}; nothing is
// formatted when no client is connected, and a message over 512 bytes is
// dropped.
void broadcastAlert(u32 alert_id, std::string_view title, std::string_view severity_name);

// {"type":"alert_status","data":{"id":N,"status":"S"}}: a triage change;
// nothing is formatted when no client is connected.
void broadcastAlertStatus(u32 alert_id, std::string_view status_name);

// The headline counters of the statistics message.
// Formats the statistics message into `out`; false when it does not fit.
bool formatStatsMessage(const CountersSnapshot& s, TextBuf& out);
// Formats the alert message into `out`; false when it does not fit.
bool formatAlertMessage(u32 alert_id, std::string_view title, std::string_view severity_name,
                        TextBuf& out);
// Broadcasts the statistics message when a client is connected.
void broadcastStats(const CountersSnapshot& s);

// The LiveFeed through which the pipeline publishes to this feed.
LiveFeed wsLiveFeed();

}  // namespace tarvex
