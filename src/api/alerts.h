// alerts.h: the alert list, alert detail and alert triage endpoints.
//
// Views of the alert table, with the raw events around an alert taken from
// the event ring, and the one change a person makes to an alert: its triage
// status. The readers hold the engine state lock shared only while they copy
// what they answer with, and write JSON after; the triage handler holds it
// exclusively for the status change alone (a few field writes), and does its
// database hand-over and live-feed message after releasing it.
#pragma once

#include <string_view>

#include "api/context.h"

namespace tarvex {

// The answer to a triage request with a status outside the four below.
constexpr std::string_view kBodyBadStatus =
    "{\"error\":\"status must be one of acknowledged, investigating, resolved, false_positive\"}";

// GET /api/alerts: alerts filtered by "severity" and "status" lists and a
// "search" text, newest first (ties: larger id first), paged.
Err handleListAlerts(ServerState& state, HttpRequest& req, HttpResponse& res);
// GET /api/alerts/:id: one alert with its evidence and up to 50 related raw
// events, and where those came from ("buffer", "database" or "none"). An
// alert no longer in memory is read from the database when there is one.
Err handleGetAlert(ServerState& state, HttpRequest& req, HttpResponse& res);
// PATCH /api/alerts/:id with {"status":"acknowledged"|"investigating"|
// "resolved"|"false_positive","note":"..."}: sets the status, keeps the note
// and the time, writes the change to the database, announces it on the live
// feed ({"type":"alert_status","data":{"id":N,"status":"S"}}) and answers
// the alert as GET does. 400 for a missing body or another status, 404 for
// an id not in memory.
Err handlePatchAlert(ServerState& state, HttpRequest& req, HttpResponse& res);

}  // namespace tarvex
