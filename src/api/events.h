// events.h: the raw event search endpoint.
#pragma once

#include "api/context.h"

namespace tarvex {

// GET /api/events/search: raw events from the ring, newest first, filtered
// by "q" (substring of the text or sender), "type", "from" and "to"; the
// total counts the matches met before the page filled.
Err handleSearchEvents(ServerState& state, HttpRequest& req, HttpResponse& res);

}  // namespace tarvex
