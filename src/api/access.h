// access.h: who may use the API: the token, cross-site refusal and the
// DNS-rebinding check, applied to every request before it is routed.
//
// The check runs as the router's guard (Router::setGuard, installed by
// registerRoutes), so every route, including ones added later beside the API
// table, passes it; only the routes in the exemption list (isOpenRoute) are
// served without the token. In order:
//   1. While the server is bound to a loopback address, a request whose Host
//      is not a loopback name or address is refused: 403
//      {"error":"host not allowed"} (a page on a rebound DNS name cannot
//      reach the daemon through the user's browser).
//   2. A state-changing request (POST, PUT, PATCH, DELETE) or a WebSocket
//      upgrade whose Origin is present and is neither this server's own
//      origin (http or https plus the request's Host) nor one listed in
//      CORS_ORIGINS, or whose Sec-Fetch-Site is "cross-site", is refused:
//      403 {"error":"cross-site request refused"}. A request without Origin
//      (curl, scripts) is judged by the token alone.
//   3. With API_TOKEN set, every route but the open ones needs
//      "Authorization: Bearer <token>" (compared in constant time), else 401
//      {"error":"unauthorized"} with "WWW-Authenticate: Bearer". The
//      WebSocket route checks its own token (api/ws.h), because a browser
//      cannot set headers on an upgrade.
// Without API_TOKEN the API is open (no authentication), as it always was,
// but the cross-site and Host checks still hold. Every refusal is counted
// (apiRefusals) and logged rate-limited.
//
// Thread-safe: ApiAccess is built once at start and then only read.
#pragma once

#include <atomic>
#include <string_view>

#include "common/types.h"
#include "http/message.h"

namespace tarvex {

struct Config;

// The longest token compared (the configured one is at most this long).
constexpr size_t kMaxApiToken = 256;

struct ApiAccess {
    bool token_required = false;
    // The token, zero-padded to kMaxApiToken, and its length.
    u8 token[kMaxApiToken] = {};
    size_t token_len = 0;
    // The server listens on a loopback address (127.0.0.0/8 or ::1).
    bool loopback_bind = false;
    // CORS_ORIGINS: further allowed origins, comma-separated; must outlive
    // this record (it points into the Config).
    std::string_view allowed_origins;
};

// Built from the settings (API_TOKEN, HOST, CORS_ORIGINS).
ApiAccess makeApiAccess(const Config& config);
// The same from its parts (tests).
ApiAccess makeApiAccess(std::string_view token, std::string_view bind_host,
                        std::string_view allowed_origins);

// A numeric loopback address: 127.0.0.0/8, ::1 or ::ffff:127.x.x.x.
bool isLoopbackAddress(std::string_view host);
// A Host header naming this machine's loopback: localhost or a name under
// .localhost, a loopback address, or [::1], each with an optional port.
bool isLoopbackHostHeader(std::string_view host);
// Origin is this server's own (http or https plus `host_header`) or one of
// the allowed origins.
bool originAllowed(const ApiAccess& access, std::string_view origin, std::string_view host_header);
// `presented` is the configured token, compared in constant time over the
// padded length. False when no token is configured.
bool tokenMatches(const ApiAccess& access, std::string_view presented);
// The credentials of an "Authorization: Bearer <token>" value (scheme case
// ignored); empty when it is not a bearer value.
std::string_view bearerToken(std::string_view authorization);
// A route served without the token: GET (and HEAD) of /api/health, of the
// dashboard page "/" and of its files under "/ui/".
bool isOpenRoute(Method method, std::string_view path);

enum class AccessVerdict : u8 { allow, unauthorized, cross_site, foreign_host };

// The decision for one request (steps 1 to 3 above).
AccessVerdict checkAccess(const ApiAccess& access, const HttpRequest& req);

// Counts a refusal of this kind and logs it rate-limited (used by the guard
// and the WebSocket sign-in).
void noteRefusal(AccessVerdict verdict, const HttpRequest* req, std::string_view peer);
// Fills `res` with the reply for a refusal.
void replyRefusal(AccessVerdict verdict, HttpResponse& res);

// The router guard: ctx is the ServerState; a ServerState without `access`
// lets everything through.
bool apiGuard(void* ctx, HttpRequest& req, HttpResponse& res);

struct ApiRefusals {
    std::atomic<u64> unauthorized{0};
    std::atomic<u64> cross_site{0};
    std::atomic<u64> foreign_host{0};
};
ApiRefusals& apiRefusals();

}  // namespace tarvex
