// cases.h: the case endpoints (list, read, create, add a note).
//
// Each handler reads the request, calls the case store (which serialises
// its writers) and answers with the store's bodies and fixed replies.
#pragma once

#include "api/context.h"

namespace tarvex {

// GET /api/cases: newest first, paged by "limit" and "offset".
Err handleListCases(ServerState& state, HttpRequest& req, HttpResponse& res);
// GET /api/cases/:id: one case with its notes and linked alert ids.
Err handleGetCase(ServerState& state, HttpRequest& req, HttpResponse& res);
// POST /api/cases: {"title", "description", "severity"}.
Err handleCreateCase(ServerState& state, HttpRequest& req, HttpResponse& res);
// POST /api/cases/:id/notes: {"content", "author"}.
Err handleAddCaseNote(ServerState& state, HttpRequest& req, HttpResponse& res);

}  // namespace tarvex
