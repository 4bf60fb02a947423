// compliance.cpp: the compliance coverage and evidence endpoints.
#include "api/compliance.h"

#include "api/body.h"
#include "common/clock.h"
#include "compliance/frameworks.h"
#include "engine_state.h"

namespace tarvex {

namespace {

// Hands every active alert, in slot order, to `take` while holding the
// engine state lock shared. The views passed are valid only during the call.
template <class Take>
void visitActiveAlerts(ServerState& state, Take&& take) {
    SharedGuard guard(state.engine->lock);
    for (const Alert& a : state.engine->alerts->alerts) {
        if (!a.active) continue;
        take(ComplianceAlert{a.created_at, a.id, a.collision_wave_count,
                             static_cast<u8>(a.severity), a.getTitle(), a.getDescription(),
                             a.getEvidence()});
    }
}

}  // namespace

Err handleGetCompliance(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    std::string_view name = req.param("framework");
    if (name.empty()) return replyJson(res, 404, kBodyNotFound);
    std::optional<ComplianceFramework> f = parseFramework(name);
    if (!f) return replyFixed(res, kReplyUnknownFramework);
    CoverageReport* report = requestArray<CoverageReport>(req, 1);
    if (!report) return Err::OutOfMemory;
    report->begin(*f, *state.rules);
    visitActiveAlerts(state, [&](const ComplianceAlert& a) { report->countAlert(a); });
    return replyWritten(req, res, kMaxCoverageBodyBytes,
                        [&](TextBuf& out) { writeCoverageBody(out, *report); });
}

Err handleGetComplianceEvidence(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    std::string_view name = req.param("framework");
    if (name.empty()) return replyJson(res, 404, kBodyNotFound);
    std::optional<ComplianceFramework> f = parseFramework(name);
    if (!f) return replyFixed(res, kReplyUnknownFrameworkEvidence);
    Result<const QueryParams*> q = req.query();
    if (!q) return replyJson(res, 400, kBodyBadQuery);
    EvidenceWindow window =
        parseEvidenceWindow(queryValue(*q.value, "from"), queryValue(*q.value, "to"));
    EvidenceReport* report = requestArray<EvidenceReport>(req, 1);
    if (!report) return Err::OutOfMemory;
    report->begin(*f, window);
    visitActiveAlerts(state, [&](const ComplianceAlert& a) { report->addAlert(a); });
    i64 now = wallSeconds();
    return replyWritten(req, res, kMaxEvidenceBodyBytes,
                        [&](TextBuf& out) { writeEvidenceBody(out, *report, now); });
}

}  // namespace tarvex
