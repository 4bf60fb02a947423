// records.cpp: the rule, indicator, response-action and settings endpoints.
#include "api/records.h"

#include "ai/llm.h"
#include "api/body.h"
#include "api/json.h"
#include "api/params.h"
#include "intel/indicators.h"
#include "response/actions.h"
#include "rules/engine.h"

namespace tarvex {

Err handleListRules(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    Result<const QueryParams*> q = req.query();
    if (!q) return replyJson(res, 400, kBodyBadQuery);
    Paging p = parsePaging(*q.value);
    SigmaRule* items = requestArray<SigmaRule>(req, p.limit);
    if (!items) return Err::OutOfMemory;
    RulePage page = state.rules->listRules(p.offset, p.limit, items, p.limit);
    return replyWritten(req, res, kMaxRuleListBodyBytes, [&](TextBuf& out) {
        writeRuleListBody(out, items, page, p.limit, p.offset);
    });
}

Err handleImportRule(ServerState&, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    if (!hasRequestBody(req)) return replyJson(res, 400, kBodyMissingBody);
    return replyFixed(res, acknowledgeRuleImport(req.body.size()));
}

Err handleListIndicators(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    Result<const QueryParams*> q = req.query();
    if (!q) return replyJson(res, 400, kBodyBadQuery);
    Paging p = parsePaging(*q.value);
    Indicator* items = requestArray<Indicator>(req, p.limit);
    if (!items) return Err::OutOfMemory;
    IndicatorPage page = state.indicators->listIndicators(p.offset, p.limit, items, p.limit);
    return replyWritten(req, res, kMaxIndicatorListBodyBytes, [&](TextBuf& out) {
        writeIndicatorListBody(out, items, page, p.limit, p.offset);
    });
}

Err handleAddIndicator(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    if (!hasRequestBody(req)) return replyJson(res, 400, kBodyMissingBody);
    JsonBody body(req.body);
    std::optional<std::string_view> value = extractJsonString(body, "value");
    if (!value) return replyFixed(res, kReplyMissingValue);
    Indicator ind =
        buildIndicator(*value, extractJsonString(body, "type"), extractJsonString(body, "severity"),
                       extractJsonString(body, "source"));
    if (!state.indicators->addIndicator(ind)) return replyFixed(res, kReplyIndicatorStoreFull);
    return replyFixed(res, kReplyIndicatorCreated);
}

Err handleBulkImportIndicators(ServerState&, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    if (!hasRequestBody(req)) return replyJson(res, 400, kBodyMissingBody);
    return replyFixed(res, acknowledgeBulkIndicatorImport(req.body.size()));
}

Err handleListActions(ServerState& state, HttpRequest& req, HttpResponse& res) {
    return replyWritten(req, res, kMaxActionsBodyBytes,
                        [&](TextBuf& out) { writeActionsBody(out, *state.actions); });
}

Err handleGetSettings(ServerState& state, HttpRequest& req, HttpResponse& res) {
    return replyWritten(req, res, kMaxSettingsBodyBytes,
                        [&](TextBuf& out) { writeSettingsBody(out, *state.config, *state.llm); });
}

Err handleGetLlmSettings(ServerState& state, HttpRequest& req, HttpResponse& res) {
    return replyWritten(req, res, kMaxLlmSettingsBodyBytes,
                        [&](TextBuf& out) { writeLlmSettingsBody(out, *state.llm); });
}

}  // namespace tarvex
