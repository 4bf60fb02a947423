// router.h: the route table.
//
// Routes are matched by method and whole path. A pattern is split at '/':
// a segment ":name" matches any one non-empty segment and binds it as the
// path parameter `name`; a final segment "*name" matches the non-empty rest
// of the path (for file trees such as "/ui/*file"); other segments match
// literally. The first route in registration order that matches wins.
//
// Filled once at start-up, then only read (by every handler thread).
#pragma once

#include <string_view>

#include "common/error.h"
#include "http/message.h"

namespace tarvex {

constexpr size_t kMaxRoutes = 64;
constexpr size_t kMaxRouteSegments = 12;

// A handler runs on a pool thread with the server's context value.
using HttpHandler = Err (*)(void* ctx, HttpRequest& req, HttpResponse& res);
// Runs before routing for every request (routed or not) on the pool thread;
// returns false after filling `res` with a refusal, which is then sent
// instead of routing. The API's access check (api/access.h) is one.
using HttpGuard = bool (*)(void* ctx, HttpRequest& req, HttpResponse& res);

// Method bits for Router::allowedMethods.
constexpr u32 methodBit(Method m) {
    return 1u << static_cast<u32>(m);
}

struct Route {
    Method method = Method::get;
    std::string_view pattern;
    std::string_view segments[kMaxRouteSegments];
    u32 segment_count = 0;
    HttpHandler handler = nullptr;
};

class Router {
  public:
    // Adds a route; `pattern` must outlive the router (a literal). False when
    // the table is full or the pattern has too many segments or parameters.
    bool add(Method method, std::string_view pattern, HttpHandler handler);
    bool get(std::string_view pattern, HttpHandler h) { return add(Method::get, pattern, h); }
    bool post(std::string_view pattern, HttpHandler h) { return add(Method::post, pattern, h); }

    // The route for this method and path with its parameters bound into
    // `req`, or nullptr. HEAD is matched against the GET routes.
    const Route* match(Method method, std::string_view path, HttpRequest& req) const;

    // The methods some route serves at this path (methodBit of each; GET
    // brings HEAD), 0 when none has it.
    u32 allowedMethods(std::string_view path) const;
    // Writes an Allow header value ("GET, HEAD, POST") for `mask` into
    // `out`; returns its length (0 when `cap` is too small).
    static size_t formatAllow(u32 mask, char* out, size_t cap);

    size_t count() const { return count_; }

    // The guard every request passes before routing (none by default).
    void setGuard(HttpGuard g) { guard_ = g; }
    HttpGuard guard() const { return guard_; }

  private:
    bool matches(const Route& r, std::string_view path, const std::string_view* segs, u32 n,
                 bool whole, HttpRequest* req) const;

    Route routes_[kMaxRoutes];
    size_t count_ = 0;
    HttpGuard guard_ = nullptr;
};

}  // namespace tarvex
