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
    // `req`, or nullptr.
    const Route* match(Method method, std::string_view path, HttpRequest& req) const;

    size_t count() const { return count_; }

  private:
    Route routes_[kMaxRoutes];
    size_t count_ = 0;
};

}  // namespace tarvex
