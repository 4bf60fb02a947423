// compliance.cpp: the compliance coverage and evidence endpoints and bodies.
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

void writeCoverageBody(JsonWriter& j, const CoverageReport& r) {
    j.beginObject();
    j.key("framework").str(frameworkName(r.framework));
    j.key("covered_count").u(r.covered_count);
    j.key("total_count").u(r.control_count);
    j.key("controls").beginArray();
    for (u32 k = 0; k < r.control_count; ++k) {
        const ControlCoverage& cc = r.controls[k];
        const ComplianceControl& c = *cc.control;
        j.beginObject();
        j.key("control_id").str(c.getControlId());
        j.key("name").str(c.getName());
        j.key("description").str(c.getDescription());
        j.key("covered").boolean(cc.covered);
        j.key("alert_count").u(cc.alert_count);
        j.key("techniques").beginArray();
        for (u32 i = 0; i < c.technique_count; ++i) j.str(c.getTechnique(i));
        j.endArray().endObject();
    }
    j.endArray().key("total").u(r.control_count).endObject();
}

void writeEvidenceBody(JsonWriter& j, const EvidenceReport& r, i64 generated_at) {
    j.beginObject();
    j.key("framework").str(frameworkName(r.framework));
    j.key("from").i(r.window.from);
    j.key("to").i(r.window.to);
    j.key("generated_at").i(generated_at);
    j.key("controls").beginArray();
    for (u32 k = 0; k < r.control_count; ++k) {
        const ControlEvidence& ce = r.controls[k];
        j.beginObject();
        j.key("control_id").str(ce.control->getControlId());
        j.key("name").str(ce.control->getName());
        j.key("evidence").beginArray();
        for (u32 i = 0; i < ce.count; ++i) {
            const EvidenceEntry& e = ce.entries[i];
            j.beginObject();
            j.key("alert_id").u(e.alert_id);
            j.key("title").str(e.getTitle());
            j.key("severity").str(alertSeverityText(e.severity));
            j.key("created_at").i(e.created_at);
            j.key("description").str(e.getDescription());
            j.endObject();
        }
        j.endArray().endObject();
    }
    j.endArray().endObject();
}

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
    return replyWritten(res, kMaxCoverageBodyBytes,
                        [&](JsonWriter& j) { writeCoverageBody(j, *report); });
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
    return replyWritten(res, kMaxEvidenceBodyBytes,
                        [&](JsonWriter& j) { writeEvidenceBody(j, *report, now); });
}

}  // namespace tarvex
