// compliance.h: the compliance coverage and evidence endpoints.
//
// Both relate one framework's controls to the rule table and to the active
// alerts. The alert table is read under the engine state lock held shared,
// only long enough to hand each active alert to the report, which copies
// what it keeps; the body is written after the lock is released.
#pragma once

#include "api/context.h"

namespace tarvex {

// GET /api/compliance/:framework
Err handleGetCompliance(ServerState& state, HttpRequest& req, HttpResponse& res);
// GET /api/compliance/:framework/evidence ("from", "to": Unix seconds)
Err handleGetComplianceEvidence(ServerState& state, HttpRequest& req, HttpResponse& res);

}  // namespace tarvex
