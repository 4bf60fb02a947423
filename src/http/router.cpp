// router.cpp: the route table.
#include "http/router.h"

#include <utility>

namespace tarvex {

namespace {

// Splits "/a/b" into "a", "b"; "/" gives no segments. False when the path
// does not start with '/' or has too many segments.
bool splitPath(std::string_view path, std::string_view* out, u32& n, size_t cap) {
    n = 0;
    if (path.empty() || path.front() != '/') return false;
    if (path == "/") return true;
    path.remove_prefix(1);
    for (;;) {
        if (n == cap) return false;
        size_t slash = path.find('/');
        out[n++] = path.substr(0, slash);
        if (slash == std::string_view::npos) return true;
        path.remove_prefix(slash + 1);
    }
}

}  // namespace

bool Router::add(Method method, std::string_view pattern, HttpHandler handler) {
    if (count_ == kMaxRoutes || !handler) return false;
    Route& r = routes_[count_];
    if (!splitPath(pattern, r.segments, r.segment_count, kMaxRouteSegments)) return false;
    u32 params = 0;
    for (u32 i = 0; i < r.segment_count; ++i) {
        std::string_view s = r.segments[i];
        if (s.empty()) return false;
        if (s.front() == ':' || s.front() == '*') {
            if (s.size() < 2 || ++params > kMaxPathParams) return false;
            if (s.front() == '*' && i + 1 != r.segment_count) return false;
        }
    }
    r.method = method;
    r.pattern = pattern;
    r.handler = handler;
    ++count_;
    return true;
}

bool Router::matches(const Route& r, std::string_view path, const std::string_view* segs, u32 n,
                     bool whole, HttpRequest* req) const {
    if (req) req->param_count = 0;
    bool rest_bound = false;
    for (u32 k = 0; k < r.segment_count; ++k) {
        std::string_view p = r.segments[k];
        if (k >= n || segs[k].empty()) return false;
        if (p.front() == '*') {
            const char* start = segs[k].data();
            size_t len = static_cast<size_t>(path.data() + path.size() - start);
            if (req) req->params[req->param_count++] = PathParam{p.substr(1), {start, len}};
            rest_bound = true;
        } else if (p.front() == ':') {
            if (req) req->params[req->param_count++] = PathParam{p.substr(1), segs[k]};
        } else if (p != segs[k]) {
            return false;
        }
    }
    return rest_bound || (whole && n == r.segment_count);
}

const Route* Router::match(Method method, std::string_view path, HttpRequest& req) const {
    if (method == Method::head) method = Method::get;
    std::string_view segs[kMaxRouteSegments + 1];
    u32 n = 0;
    // A path with more segments than any pattern can only match a wildcard.
    bool whole = splitPath(path, segs, n, kMaxRouteSegments + 1);
    for (size_t i = 0; i < count_; ++i) {
        const Route& r = routes_[i];
        if (r.method != method) continue;
        if (matches(r, path, segs, n, whole, &req)) return &r;
    }
    req.param_count = 0;
    return nullptr;
}

u32 Router::allowedMethods(std::string_view path) const {
    std::string_view segs[kMaxRouteSegments + 1];
    u32 n = 0;
    bool whole = splitPath(path, segs, n, kMaxRouteSegments + 1);
    u32 mask = 0;
    for (size_t i = 0; i < count_; ++i) {
        const Route& r = routes_[i];
        if (mask & methodBit(r.method)) continue;
        if (matches(r, path, segs, n, whole, nullptr)) mask |= methodBit(r.method);
    }
    if (mask & methodBit(Method::get)) mask |= methodBit(Method::head);
    return mask;
}

size_t Router::formatAllow(u32 mask, char* out, size_t cap) {
    static constexpr std::pair<Method, std::string_view> kNames[] = {
        {Method::get, "GET"},         {Method::head, "HEAD"},       {Method::post, "POST"},
        {Method::put, "PUT"},         {Method::patch, "PATCH"},     {Method::delete_, "DELETE"},
        {Method::options, "OPTIONS"}, {Method::connect, "CONNECT"}, {Method::trace, "TRACE"},
    };
    size_t len = 0;
    for (const auto& [m, name] : kNames) {
        if (!(mask & methodBit(m))) continue;
        size_t need = name.size() + (len ? 2 : 0);
        if (len + need > cap) return 0;
        if (len) {
            out[len++] = ',';
            out[len++] = ' ';
        }
        for (char c : name) out[len++] = c;
    }
    return len;
}

}  // namespace tarvex
