// ui.cpp: serves the embedded dashboard files.
#include "api/ui.h"

#include <cstdlib>
#include <utility>

#include "common/log.h"

namespace tarvex {

namespace {

// The page may load only what the daemon itself serves: scripts and styles
// from its own files (no inline code, so text that slips into markup cannot
// run), data from its own API and live feed.
constexpr std::string_view kPagePolicy =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; object-src 'none'; base-uri 'none'; form-action 'self'; "
    "frame-ancestors 'none'";

bool endsWithNoCase(std::string_view s, std::string_view suffix) {
    if (s.size() < suffix.size()) return false;
    std::string_view tail = s.substr(s.size() - suffix.size());
    for (size_t i = 0; i < suffix.size(); ++i) {
        char c = tail[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[i]) return false;
    }
    return true;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

Err serveAsset(const WebAsset& a, bool is_page, HttpRequest& req, HttpResponse& res) {
    res.content_type = webContentType(is_page ? std::string_view("index.html") : a.path);
    Err e = res.addHeader("Cache-Control", "no-cache");
    if (e == Err::None) e = res.addHeader("ETag", a.etag);
    if (e == Err::None) e = res.addHeader("X-Content-Type-Options", "nosniff");
    if (is_page && e == Err::None) e = res.addHeader("Content-Security-Policy", kPagePolicy);
    if (is_page && e == Err::None) e = res.addHeader("Referrer-Policy", "no-referrer");
    if (e != Err::None) return e;
    bool found = false;
    std::string_view inm = req.header("if-none-match", &found);
    if (found && etagMatches(inm, a.etag)) {
        res.status = 304;
        res.setBody({});
        return Err::None;
    }
    res.setBody(a.body);
    return Err::None;
}

Err handlePage(void*, HttpRequest& req, HttpResponse& res) {
    const WebAsset* a = findWebAsset("/");
    if (!a) return Err::Unexpected;  // the build refuses a web/ without index.html
    return serveAsset(*a, true, req, res);
}

Err handleAsset(void*, HttpRequest& req, HttpResponse& res) {
    const WebAsset* a = findWebAsset(req.path());
    if (!a) {
        res.status = 404;
        res.setBody("Not Found");
        return Err::None;
    }
    return serveAsset(*a, false, req, res);
}

}  // namespace

const WebAsset* findWebAsset(std::string_view path) {
    for (size_t i = 0; i < kWebAssetCount; ++i)
        if (kWebAssets[i].path == path) return &kWebAssets[i];
    return nullptr;
}

ContentType webContentType(std::string_view path) {
    if (endsWithNoCase(path, ".html")) return ContentType::html;
    if (endsWithNoCase(path, ".css")) return ContentType::css;
    if (endsWithNoCase(path, ".js")) return ContentType::javascript;
    if (endsWithNoCase(path, ".svg")) return ContentType::svg;
    if (endsWithNoCase(path, ".png")) return ContentType::png;
    if (endsWithNoCase(path, ".ico")) return ContentType::icon;
    return ContentType::none;
}

bool etagMatches(std::string_view if_none_match, std::string_view etag) {
    std::string_view rest = if_none_match;
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string_view item = trim(rest.substr(0, comma));
        if (item == "*") return true;
        if (item.starts_with("W/")) item.remove_prefix(2);
        if (!item.empty() && item == etag) return true;
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return false;
}

size_t registerUiRoutes(Router& router) {
    size_t added = 0;
    for (auto [path, handler] :
         {std::pair<std::string_view, HttpHandler>{"/", handlePage}, {"/ui/*file", handleAsset}}) {
        if (!router.get(path, handler)) {
            logPlain("failed to create route");
            std::abort();
        }
        ++added;
    }
    return added;
}

}  // namespace tarvex
