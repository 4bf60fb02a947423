// compliance.h: the compliance coverage and evidence endpoints and their
// bodies.
//
// Both relate one framework's controls to the rule table and to the active
// alerts. The alert table is read under the engine state lock held shared,
// only long enough to hand each active alert to the report, which copies
// what it keeps; the body is written from the report after the lock is
// released.
#pragma once

#include "api/context.h"
#include "api/json.h"
#include "common/reply.h"
#include "compliance/frameworks.h"

namespace tarvex {

// GET /api/compliance/:framework
Err handleGetCompliance(ServerState& state, HttpRequest& req, HttpResponse& res);
// GET /api/compliance/:framework/evidence ("from", "to": Unix seconds)
Err handleGetComplianceEvidence(ServerState& state, HttpRequest& req, HttpResponse& res);

// Fixed replies of an unknown framework name.
inline constexpr FixedReply kReplyUnknownFramework{
    404,
    "{\"error\":\"unknown framework\",\"supported\":[\"pci-dss-4\",\"nist-800-53\",\"soc2\","
    "\"hipaa\",\"iso-27001\"]}"};
inline constexpr FixedReply kReplyUnknownFrameworkEvidence{404,
                                                           "{\"error\":\"unknown framework\"}"};

// Writes {"framework":..,"covered_count":..,"total_count":..,"controls":[..],"total":..}.
void writeCoverageBody(JsonWriter& j, const CoverageReport& r);

// Room that always holds a coverage body: texts escaped at worst to three
// bytes per byte, plus keys and numbers.
constexpr size_t kMaxCoverageBodyBytes =
    256 + kMaxFrameworkControls * (128 + 3 * (16 + 128 + 256) +
                                   kMaxControlTechniques * (3 + 3 * kControlTechniqueBytes));

// Writes {"framework":..,"from":..,"to":..,"generated_at":..,"controls":[..]}.
void writeEvidenceBody(JsonWriter& j, const EvidenceReport& r, i64 generated_at);

// Room that always holds an evidence body: texts escaped at worst to three
// bytes per byte, plus keys and the widest numbers.
constexpr size_t kMaxEvidenceBodyBytes =
    256 + kMaxFrameworkControls *
              (128 + 3 * (16 + 128) + kMaxEvidencePerControl * (160 + 3 * (128 + 512)));

}  // namespace tarvex
