// router.cpp: the route table.
#include "http/router.h"

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

const Route* Router::match(Method method, std::string_view path, HttpRequest& req) const {
    std::string_view segs[kMaxRouteSegments + 1];
    u32 n = 0;
    // A path with more segments than any pattern can only match a wildcard.
    bool whole = splitPath(path, segs, n, kMaxRouteSegments + 1);
    for (size_t i = 0; i < count_; ++i) {
        const Route& r = routes_[i];
        if (r.method != method) continue;
        req.param_count = 0;
        bool ok = true;
        bool rest_bound = false;
        for (u32 k = 0; k < r.segment_count && ok; ++k) {
            std::string_view p = r.segments[k];
            if (k >= n || segs[k].empty()) {
                ok = false;
            } else if (p.front() == '*') {
                const char* start = segs[k].data();
                size_t len = static_cast<size_t>(path.data() + path.size() - start);
                req.params[req.param_count++] = PathParam{p.substr(1), {start, len}};
                rest_bound = true;
            } else if (p.front() == ':') {
                req.params[req.param_count++] = PathParam{p.substr(1), segs[k]};
            } else if (p != segs[k]) {
                ok = false;
            }
        }
        if (ok && (rest_bound || (whole && n == r.segment_count))) return &r;
    }
    req.param_count = 0;
    return nullptr;
}

}  // namespace tarvex
