// ui.h: the dashboard: its page at "/" and its files under "/ui/".
//
// The files of web/ are compiled into the daemon at build time
// (cmake/embed_web.cmake writes the table kWebAssets), so the binary serves
// its own dashboard with no file system access and no other server. These
// routes sit beside the API, not in it: registerRoutes stays the API's table
// and registerUiRoutes is called after it by startServer.
//
// Every answer carries "Cache-Control: no-cache" and a strong ETag: a browser
// keeps its copy and revalidates it on each load, and a request whose
// If-None-Match names the current ETag is answered 304 without a body. Paths
// that name no embedded file fall through to the engine's 404 "Not Found".
//
// The table is constant; the handlers are safe on any number of threads.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/error.h"
#include "http/message.h"
#include "http/router.h"

namespace tarvex {

// One embedded file: its URL path ("/" or "/ui/..."), its bytes and its
// ETag, quotes included.
struct WebAsset {
    std::string_view path;
    std::string_view body;
    std::string_view etag;
};

// Written by the build (generated web_assets.cpp), sorted by file name.
extern const WebAsset kWebAssets[];
extern const size_t kWebAssetCount;

// The embedded file served at exactly `path`, or nullptr.
const WebAsset* findWebAsset(std::string_view path);

// The content type for a file name by its extension (html, css, js, svg,
// png, ico; letter case ignored); ContentType::none for anything else.
ContentType webContentType(std::string_view path);

// True when an If-None-Match header value names `etag`: "*" or a
// comma-separated list holding it (a weak "W/" form counts, as the
// comparison for GET is the weak one).
bool etagMatches(std::string_view if_none_match, std::string_view etag);

// Adds GET "/" and GET "/ui/*file" to `router`; returns how many routes it
// added. A route the router cannot store stops the process with "failed to
// create route", as for the API's table.
size_t registerUiRoutes(Router& router);

}  // namespace tarvex
