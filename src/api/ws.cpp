// ws.cpp: the WebSocket live feed.
#include "api/ws.h"

#include <atomic>
#include <mutex>

#include "api/access.h"
#include "api/json.h"
#include "common/log.h"
#include "http/request.h"

namespace tarvex {

namespace {

constexpr std::string_view kWelcome = "{\"type\":\"connected\"}";
constexpr std::string_view kPong = "{\"type\":\"pong\"}";
constexpr std::string_view kBadUpgrade = "{\"error\":\"invalid websocket upgrade request\"}";
constexpr std::string_view kSignInRefused = "{\"type\":\"error\",\"error\":\"unauthorized\"}";
constexpr std::string_view kProtocolName = "tarvex";
constexpr std::string_view kTokenProtocolPrefix = "tarvex-token.";

// The `user` of a connection that still has to sign in with its first
// message; such a connection holds no feed slot until it has.
char g_pending_tag;
void* const kPendingUser = &g_pending_tag;
// The access rules the pending connections are checked against (set by the
// upgrade that made them; one per process).
std::atomic<const ApiAccess*> g_access{nullptr};
// For each engine connection slot, the generation of the connection in it
// that signed in (0: none). Read and written on the event loop only.
std::atomic<u32> g_signed_in[kMaxConnections];

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

bool signedIn(WsConn conn) {
    return conn.slot < kMaxConnections &&
           g_signed_in[conn.slot].load(std::memory_order_relaxed) == conn.gen;
}

void feedAfterInit(void* user, WsConn conn) {
    if (user == kPendingUser) return;  // registered once it signs in
    WsHandler{conn}.afterInit();
}

// The sign-in message: {"type":"auth","token":"<token>"}.
bool signInAccepted(std::string_view data) {
    const ApiAccess* access = g_access.load(std::memory_order_relaxed);
    if (!access) return false;
    JsonBody body(data);
    std::optional<std::string_view> type = extractJsonString(body, "type");
    std::optional<std::string_view> token = extractJsonString(body, "token");
    return type && *type == "auth" && token && tokenMatches(*access, *token);
}

Err feedMessage(void* user, WsConn conn, WsOpcode, std::string_view data) {
    if (user == kPendingUser && !signedIn(conn)) {
        if (!signInAccepted(data)) {
            noteRefusal(AccessVerdict::unauthorized, nullptr, "a feed client");
            conn.writeFrame(WsOpcode::text, kSignInRefused);
            conn.close(kWsClosePolicy);
            return Err::None;
        }
        if (conn.slot < kMaxConnections)
            g_signed_in[conn.slot].store(conn.gen, std::memory_order_relaxed);
        WsHandler{conn}.afterInit();
        return Err::None;
    }
    return WsHandler{conn}.clientMessage(data);
}

void feedClose(void* user, WsConn conn) {
    if (user == kPendingUser) {
        if (!signedIn(conn)) return;  // never joined the feed
        g_signed_in[conn.slot].store(0, std::memory_order_relaxed);
    }
    WsHandler{conn}.close();
}

// Whether an offered subprotocol list names `name`.
bool offers(std::string_view list, std::string_view name) {
    return headerHasToken(list, name);
}

// The token offered as the subprotocol "tarvex-token.<token>", if any.
bool offeredToken(std::string_view list, std::string_view& token) {
    while (!list.empty()) {
        size_t comma = list.find(',');
        std::string_view item = list.substr(0, comma);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t'))
            item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
        if (item.substr(0, kTokenProtocolPrefix.size()) == kTokenProtocolPrefix) {
            token = item.substr(kTokenProtocolPrefix.size());
            return true;
        }
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
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

Err handleUpgrade(ServerState& state, HttpRequest& req, HttpResponse& res) {
    bool has_upgrade = false, has_version = false, has_connection = false, has_key = false;
    std::string_view upgrade = req.header("upgrade", &has_upgrade);
    std::string_view version = req.header("sec-websocket-version", &has_version);
    std::string_view connection = req.header("connection", &has_connection);
    req.header("sec-websocket-key", &has_key);
    bool ok = has_upgrade && equalsIgnoreCase(upgrade, "websocket") && has_version &&
              version == "13" && has_connection && connection.size() > 6 &&
              containsIgnoreCase(connection, "upgrade") && has_key;
    if (!ok || req.method() != Method::get) return replyJson(res, 400, kBadUpgrade);
    std::string_view protocols = req.header("sec-websocket-protocol");
    // Select "tarvex" when offered: a browser that offers subprotocols fails
    // the connection unless one is chosen. The token itself is never echoed.
    if (offers(protocols, kProtocolName)) res.addHeader("Sec-WebSocket-Protocol", kProtocolName);
    const ApiAccess* access = state.access;
    if (!access || !access->token_required) {
        res.upgradeWebSocket(&kFeedCallbacks, nullptr);
        return Err::None;
    }
    g_access.store(access, std::memory_order_relaxed);
    std::string_view token;
    if (offeredToken(protocols, token)) {
        if (!tokenMatches(*access, token)) {
            noteRefusal(AccessVerdict::unauthorized, &req, req.peer);
            res.reset();
            replyRefusal(AccessVerdict::unauthorized, res);
            return Err::None;
        }
        res.upgradeWebSocket(&kFeedCallbacks, nullptr);
        return Err::None;
    }
    bool has_auth = false;
    std::string_view auth = req.header("authorization", &has_auth);
    if (has_auth) {
        if (!tokenMatches(*access, bearerToken(auth))) {
            noteRefusal(AccessVerdict::unauthorized, &req, req.peer);
            res.reset();
            replyRefusal(AccessVerdict::unauthorized, res);
            return Err::None;
        }
        res.upgradeWebSocket(&kFeedCallbacks, nullptr);
        return Err::None;
    }
    // No credentials yet: the first message must sign in, within the head
    // time-out, before the client joins the feed.
    res.upgradeWebSocket(&kFeedCallbacks, kPendingUser, true);
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
