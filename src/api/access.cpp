// access.cpp: the token, cross-site and Host checks in front of every route.
#include "api/access.h"

#include <arpa/inet.h>
#include <openssl/crypto.h>

#include <cstring>

#include "api/context.h"
#include "common/log.h"
#include "config.h"
#include "http/request.h"

namespace tarvex {

namespace {

constexpr std::string_view kBodyUnauthorized = "{\"error\":\"unauthorized\"}";
constexpr std::string_view kBodyCrossSite = "{\"error\":\"cross-site request refused\"}";
constexpr std::string_view kBodyForeignHost = "{\"error\":\"host not allowed\"}";

LogLimit g_limit_unauthorized;
LogLimit g_limit_cross_site;
LogLimit g_limit_foreign_host;

std::string_view trim(std::string_view v) {
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
    return v;
}

bool startsWithIgnoreCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && equalsIgnoreCase(s.substr(0, prefix.size()), prefix);
}

bool isDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

bool isStateChanging(Method m) {
    return m == Method::post || m == Method::put || m == Method::patch || m == Method::delete_;
}

}  // namespace

ApiRefusals& apiRefusals() {
    static ApiRefusals r;
    return r;
}

bool isLoopbackAddress(std::string_view host) {
    char z[64];
    if (host.empty() || host.size() >= sizeof z) return false;
    std::memcpy(z, host.data(), host.size());
    z[host.size()] = 0;
    in_addr v4{};
    if (inet_pton(AF_INET, z, &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, z, &v6) == 1) {
        static const u8 kLoop[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        if (std::memcmp(&v6, kLoop, 16) == 0) return true;
        static const u8 kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        const auto* b = reinterpret_cast<const u8*>(&v6);
        return std::memcmp(b, kMapped, 12) == 0 && b[12] == 127;
    }
    return false;
}

bool isLoopbackHostHeader(std::string_view host) {
    host = trim(host);
    std::string_view name;
    if (!host.empty() && host.front() == '[') {
        size_t close = host.find(']');
        if (close == std::string_view::npos) return false;
        name = host.substr(1, close - 1);
        std::string_view rest = host.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || !isDigits(rest.substr(1)))) return false;
        return isLoopbackAddress(name);
    }
    size_t colon = host.rfind(':');
    name = host.substr(0, colon);
    if (colon != std::string_view::npos && !isDigits(host.substr(colon + 1))) return false;
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);  // "localhost."
    if (equalsIgnoreCase(name, "localhost")) return true;
    if (name.size() > 10 && equalsIgnoreCase(name.substr(name.size() - 10), ".localhost"))
        return true;
    return isLoopbackAddress(name);
}

bool originAllowed(const ApiAccess& access, std::string_view origin, std::string_view host_header) {
    origin = trim(origin);
    host_header = trim(host_header);
    if (!host_header.empty()) {
        for (std::string_view scheme :
             {std::string_view("http://"), std::string_view("https://")}) {
            if (startsWithIgnoreCase(origin, scheme) &&
                equalsIgnoreCase(origin.substr(scheme.size()), host_header))
                return true;
        }
    }
    std::string_view list = access.allowed_origins;
    while (!list.empty()) {
        size_t comma = list.find(',');
        std::string_view item = trim(list.substr(0, comma));
        if (!item.empty() && item.back() == '/') item.remove_suffix(1);
        if (!item.empty() && equalsIgnoreCase(item, origin)) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

bool tokenMatches(const ApiAccess& access, std::string_view presented) {
    if (!access.token_required || presented.size() > kMaxApiToken) return false;
    u8 padded[kMaxApiToken] = {};
    if (!presented.empty()) std::memcpy(padded, presented.data(), presented.size());
    // Equal lengths (the whole padded buffers) compared in constant time; the
    // length check adds only whether the lengths differ.
    bool same = CRYPTO_memcmp(padded, access.token, kMaxApiToken) == 0;
    return same & (presented.size() == access.token_len);
}

std::string_view bearerToken(std::string_view authorization) {
    authorization = trim(authorization);
    if (!startsWithIgnoreCase(authorization, "bearer ")) return {};
    return trim(authorization.substr(7));
}

bool isOpenRoute(Method method, std::string_view path) {
    if (method != Method::get && method != Method::head) return false;
    return path == "/api/health" || path == "/" || path.substr(0, 4) == "/ui/";
}

ApiAccess makeApiAccess(std::string_view token, std::string_view bind_host,
                        std::string_view allowed_origins) {
    ApiAccess a;
    if (!token.empty()) {
        a.token_required = true;
        a.token_len = token.size() < kMaxApiToken ? token.size() : kMaxApiToken;
        std::memcpy(a.token, token.data(), a.token_len);
    }
    a.loopback_bind = isLoopbackAddress(bind_host);
    a.allowed_origins = allowed_origins;
    return a;
}

ApiAccess makeApiAccess(const Config& config) {
    return makeApiAccess(config.getApiToken(), config.getHost(), config.getCorsOrigins());
}

AccessVerdict checkAccess(const ApiAccess& access, const HttpRequest& req) {
    bool has_host = false;
    std::string_view host = req.header("host", &has_host);
    if (access.loopback_bind && has_host && !isLoopbackHostHeader(host))
        return AccessVerdict::foreign_host;

    bool upgrade = equalsIgnoreCase(req.header("upgrade"), "websocket");
    if (isStateChanging(req.method()) || upgrade) {
        if (equalsIgnoreCase(trim(req.header("sec-fetch-site")), "cross-site"))
            return AccessVerdict::cross_site;
        bool has_origin = false;
        std::string_view origin = req.header("origin", &has_origin);
        if (has_origin && !originAllowed(access, origin, host)) return AccessVerdict::cross_site;
    }

    if (access.token_required && !isOpenRoute(req.method(), req.path())) {
        // The feed signs in on its own (api/ws.h): a browser cannot add
        // headers to an upgrade.
        if (req.method() == Method::get && req.path() == "/api/ws") return AccessVerdict::allow;
        if (!tokenMatches(access, bearerToken(req.header("authorization"))))
            return AccessVerdict::unauthorized;
    }
    return AccessVerdict::allow;
}

void noteRefusal(AccessVerdict verdict, const HttpRequest* req, std::string_view peer) {
    std::string_view method = req ? req->head.method_text : std::string_view("WebSocket");
    std::string_view path = req ? req->path() : std::string_view("/api/ws");
    switch (verdict) {
        case AccessVerdict::allow:
            return;
        case AccessVerdict::unauthorized:
            apiRefusals().unauthorized.fetch_add(1, std::memory_order_relaxed);
            logWarnLimited(g_limit_unauthorized, "routes",
                           "refused {} {} from {}: missing or wrong API token", method, path, peer);
            return;
        case AccessVerdict::cross_site:
            apiRefusals().cross_site.fetch_add(1, std::memory_order_relaxed);
            logWarnLimited(g_limit_cross_site, "routes",
                           "refused {} {} from {}: cross-site request (origin {})", method, path,
                           peer, req ? req->header("origin") : std::string_view());
            return;
        case AccessVerdict::foreign_host:
            apiRefusals().foreign_host.fetch_add(1, std::memory_order_relaxed);
            logWarnLimited(g_limit_foreign_host, "routes",
                           "refused {} {} from {}: Host {} is not a loopback name", method, path,
                           peer, req ? req->header("host") : std::string_view());
            return;
    }
}

void replyRefusal(AccessVerdict verdict, HttpResponse& res) {
    switch (verdict) {
        case AccessVerdict::allow:
            return;
        case AccessVerdict::unauthorized:
            replyJson(res, 401, kBodyUnauthorized);
            res.addHeader("WWW-Authenticate", "Bearer");
            return;
        case AccessVerdict::cross_site:
            replyJson(res, 403, kBodyCrossSite);
            return;
        case AccessVerdict::foreign_host:
            replyJson(res, 403, kBodyForeignHost);
            return;
    }
}

bool apiGuard(void* ctx, HttpRequest& req, HttpResponse& res) {
    const auto* state = static_cast<const ServerState*>(ctx);
    if (!state || !state->access) return true;
    AccessVerdict v = checkAccess(*state->access, req);
    if (v == AccessVerdict::allow) return true;
    noteRefusal(v, &req, req.peer);
    replyRefusal(v, res);
    return false;
}

}  // namespace tarvex
