// alerts.h: the alert list and alert detail endpoints.
//
// Read-only views of the alert table, with the raw events around an alert
// taken from the event ring. Each handler holds the engine state lock shared
// only while it copies what it answers with, and writes JSON after.
#pragma once

#include "api/context.h"

namespace tarvex {

// GET /api/alerts: alerts filtered by "severity" and "status" lists and a
// "search" text, newest first (ties: larger id first), paged.
Err handleListAlerts(ServerState& state, HttpRequest& req, HttpResponse& res);
// GET /api/alerts/:id: one alert with its evidence and up to 50 related raw
// events, and where those came from ("buffer", "database" or "none").
Err handleGetAlert(ServerState& state, HttpRequest& req, HttpResponse& res);

}  // namespace tarvex
