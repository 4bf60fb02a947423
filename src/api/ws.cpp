// ws.cpp: the WebSocket live feed.
#include "api/ws.h"

#include <atomic>
#include <mutex>

#include "api/json.h"
#include "common/log.h"
#include "http/request.h"

namespace tarvex {

namespace {

constexpr std::string_view kWelcome = "{\"type\":\"connected\"}";
constexpr std::string_view kPong = "{\"type\":\"pong\"}";
constexpr std::string_view kBadUpgrade = "{\"error\":\"invalid websocket upgrade request\"}";

struct Registry {
    std::mutex mu;
    WsConn connections[kMaxFeedClients];
    bool used[kMaxFeedClients] = {};
    std::atomic<u32> connection_count{0};
};

Registry& registry() {
    static Registry r;
    return r;
}

bool containsIgnoreCase(std::string_view hay, std::string_view needle) {
    if (needle.size() > hay.size()) return false;
    for (size_t i = 0; i + needle.size() <= hay.size(); ++i)
        if (equalsIgnoreCase(hay.substr(i, needle.size()), needle)) return true;
    return false;
}

void feedAfterInit(void*, WsConn conn) {
    WsHandler{conn}.afterInit();
}

Err feedMessage(void*, WsConn conn, WsOpcode, std::string_view data) {
    return WsHandler{conn}.clientMessage(data);
}

void feedClose(void*, WsConn conn) {
    WsHandler{conn}.close();
}

constexpr WsCallbacks kFeedCallbacks = {feedAfterInit, feedMessage, feedClose};

bool feedHasListeners(void*) {
    return feedClientCount() != 0;
}

void feedAlert(void*, u32 id, std::string_view title, std::string_view severity) {
    broadcastAlert(id, title, severity);
}

void feedText(void*, std::string_view message) {
    if (feedClientCount() != 0) broadcast(message);
}

}  // namespace

Err handleUpgrade(ServerState&, HttpRequest& req, HttpResponse& res) {
    bool has_upgrade = false, has_version = false, has_connection = false, has_key = false;
    std::string_view upgrade = req.header("upgrade", &has_upgrade);
    std::string_view version = req.header("sec-websocket-version", &has_version);
    std::string_view connection = req.header("connection", &has_connection);
    req.header("sec-websocket-key", &has_key);
    bool ok = has_upgrade && equalsIgnoreCase(upgrade, "websocket") && has_version &&
              version == "13" && has_connection && connection.size() > 6 &&
              containsIgnoreCase(connection, "upgrade") && has_key;
    if (!ok) return replyJson(res, 400, kBadUpgrade);
    res.upgradeWebSocket(&kFeedCallbacks, nullptr);
    return Err::None;
}

void WsHandler::afterInit() {
    // The welcome is written while the registry is still held, so no
    // broadcast can reach the new client before it.
    Err welcome = Err::None;
    if (!registerConnection(conn, kWelcome, &welcome)) {
        conn.close(kWsCloseTryAgainLater);
        return;
    }
    logInfo("websocket", "WebSocket client connected (total: {})", feedClientCount());
    if (welcome != Err::None) logWarn("websocket", "failed to send welcome message: {}", welcome);
}

Err WsHandler::clientMessage(std::string_view data) {
    if (data == "ping") return conn.writeFrame(WsOpcode::text, kPong);
    return Err::None;
}

void WsHandler::close() {
    unregisterConnection(conn);
    logInfo("websocket", "WebSocket client disconnected (total: {})", feedClientCount());
}

bool registerConnection(WsConn conn, std::string_view first_message, Err* first_err) {
    Registry& r = registry();
    std::lock_guard<std::mutex> l(r.mu);
    for (u32 i = 0; i < kMaxFeedClients; ++i) {
        if (!r.used[i]) {
            r.used[i] = true;
            r.connections[i] = conn;
            r.connection_count.fetch_add(1);
            if (!first_message.empty()) {
                Err e = conn.writeFrame(WsOpcode::text, first_message);
                if (first_err) *first_err = e;
            }
            return true;
        }
    }
    logWarn("websocket", "WebSocket connection limit reached ({}), rejecting client",
            kMaxFeedClients);
    return false;
}

void unregisterConnection(WsConn conn) {
    Registry& r = registry();
    std::lock_guard<std::mutex> l(r.mu);
    for (u32 i = 0; i < kMaxFeedClients; ++i) {
        if (r.used[i] && r.connections[i] == conn) {
            r.used[i] = false;
            r.connection_count.fetch_sub(1);
            return;
        }
    }
}

u32 feedClientCount() {
    return registry().connection_count.load(std::memory_order_relaxed);
}

void broadcast(std::string_view message) {
    Registry& r = registry();
    std::lock_guard<std::mutex> l(r.mu);
    for (u32 i = 0; i < kMaxFeedClients; ++i) {
        if (!r.used[i]) continue;
        if (r.connections[i].writeFrame(WsOpcode::text, message) != Err::None) {
            r.used[i] = false;
            r.connection_count.fetch_sub(1);
        }
    }
}

bool formatAlertMessage(u32 alert_id, std::string_view title, std::string_view severity_name,
                        TextBuf& out) {
    formatInto(out, "{\"type\":\"alert\",\"data\":{\"id\":{},\"title\":\"", alert_id);
    appendJsonStrBody(out, title, JsonEscape::drop_controls);
    formatInto(out, "\",\"severity\":\"{}\"}}", severity_name);
    return !out.truncated;
}

void broadcastAlert(u32 alert_id, std::string_view title, std::string_view severity_name) {
    if (feedClientCount() == 0) return;
    FixedText<kFeedMessageBytes> msg;
    if (!formatAlertMessage(alert_id, title, severity_name, msg)) return;
    broadcast(msg.view());
}

void broadcastAlertStatus(u32 alert_id, std::string_view status_name) {
    if (feedClientCount() == 0) return;
    FixedText<kFeedMessageBytes> msg;
    formatInto(msg, "{\"type\":\"alert_status\",\"data\":{\"id\":{},\"status\":\"{}\"}}", alert_id,
               status_name);
    if (msg.truncated) return;
    broadcast(msg.view());
}

bool formatStatsMessage(const CountersSnapshot& s, TextBuf& out) {
    formatInto(out,
               "{\"type\":\"stats\",\"data\":{\"devices\":{},\"alerts\":{},\"events_processed\":{},"
               "\"events_per_second\":",
               s.devices, s.alerts, s.events_processed);
    appendJsonFixed(out, s.events_per_second, 1);
    formatInto(out, ",\"anomalies\":{},\"graph_nodes\":{},\"graph_edges\":{}}}", s.anomalies,
               s.graph_nodes, s.graph_edges);
    return !out.truncated;
}

void broadcastStats(const CountersSnapshot& s) {
    if (feedClientCount() == 0) return;
    FixedText<kFeedMessageBytes> msg;
    if (!formatStatsMessage(s, msg)) return;
    broadcast(msg.view());
}

void feedStats(void*, const CountersSnapshot& s) {
    broadcastStats(s);
}

LiveFeed wsLiveFeed() {
    LiveFeed f;
    f.ctx = nullptr;
    f.has_listeners = feedHasListeners;
    f.alert = feedAlert;
    f.text = feedText;
    f.stats = feedStats;
    return f;
}

}  // namespace tarvex
