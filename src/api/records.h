// records.h: the rule, indicator, response-action and settings endpoints.
//
// Rules, actions and the LLM table are read-only once the server runs; the
// indicator store serialises its own writers.
#pragma once

#include "api/context.h"

namespace tarvex {

// GET /api/rules: active rules in slot order, paged.
Err handleListRules(ServerState& state, HttpRequest& req, HttpResponse& res);
// POST /api/rules/import: acknowledges the upload; nothing is stored.
Err handleImportRule(ServerState& state, HttpRequest& req, HttpResponse& res);
// GET /api/indicators: indicators in insertion order, paged.
Err handleListIndicators(ServerState& state, HttpRequest& req, HttpResponse& res);
// POST /api/indicators: {"value", "type", "severity", "source"}.
Err handleAddIndicator(ServerState& state, HttpRequest& req, HttpResponse& res);
// POST /api/indicators/bulk: acknowledges the upload; nothing is stored.
Err handleBulkImportIndicators(ServerState& state, HttpRequest& req, HttpResponse& res);
// GET /api/response-actions
Err handleListActions(ServerState& state, HttpRequest& req, HttpResponse& res);
// GET /api/settings: system settings, the active LLM provider, integrations.
Err handleGetSettings(ServerState& state, HttpRequest& req, HttpResponse& res);
// GET /api/settings/llm: every stored provider, API keys withheld.
Err handleGetLlmSettings(ServerState& state, HttpRequest& req, HttpResponse& res);

}  // namespace tarvex
