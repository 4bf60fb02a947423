// records.cpp: the rule, indicator, response-action and settings endpoints
// and their bodies.
#include "api/records.h"

#include "api/body.h"
#include "api/params.h"
#include "common/log.h"
#include "config.h"

namespace tarvex {

FixedReply acknowledgeRuleImport(size_t body_len) {
    logInfo("routes", "rule import request received ({} bytes)", body_len);
    return kReplyRuleImportAccepted;
}

FixedReply acknowledgeBulkIndicatorImport(size_t body_len) {
    logInfo("routes", "bulk indicator import request received ({} bytes)", body_len);
    return kReplyBulkImportAccepted;
}

void writeRuleListBody(JsonWriter& j, const SigmaRule* items, RulePage page, u32 limit,
                       u32 offset) {
    j.beginObject().key("rules").beginArray();
    for (u32 i = 0; i < page.count; ++i) {
        const SigmaRule& r = items[i];
        j.beginObject();
        j.key("id").str(r.getId());
        j.key("title").str(r.getTitle());
        j.key("level").str(sigmaLevelName(r.level));
        j.key("status").str(sigmaStatusName(r.status));
        j.key("enabled").boolean(r.enabled);
        j.key("logsource_category").str(r.getLogsourceCategory());
        j.endObject();
    }
    j.endArray();
    j.key("total").u(page.total).key("limit").u(limit).key("offset").u(offset);
    j.endObject();
}

void writeIndicatorListBody(JsonWriter& j, const Indicator* items, IndicatorPage page, u32 limit,
                            u32 offset) {
    j.beginObject().key("indicators").beginArray();
    for (u32 i = 0; i < page.count; ++i) {
        const Indicator& ind = items[i];
        j.beginObject();
        j.key("type").str(indicatorTypeName(ind.indicator_type));
        j.key("value").str(ind.getValue());
        j.key("source").str(ind.getSource());
        j.key("severity").str(indicatorSeverityName(ind.severity));
        j.key("expiry").i(ind.expiry);
        j.key("created_at").i(ind.created_at);
        j.key("hits").u(ind.hits);
        j.key("last_hit").i(ind.last_hit);
        j.endObject();
    }
    j.endArray();
    j.key("total").u(page.total).key("limit").u(limit).key("offset").u(offset);
    j.endObject();
}

void writeBulkImportBody(JsonWriter& j, const ImportCounts& counts, const FeedResult& feed) {
    j.beginObject().key("status").str("accepted").key("message").str("bulk import queued");
    j.key("imported").u(counts.imported);
    j.key("duplicate").u(counts.duplicate);
    j.key("rejected").u(feed.rejected + counts.rejected);
    j.key("rejected_lines").beginArray();
    for (u32 i = 0; i < feed.kept; ++i) {
        const RejectedLine& r = feed.first_rejected[i];
        j.beginObject();
        j.key("line").u(r.line);
        j.key("text").str(r.text.substr(0, kRejectedTextBytes));
        j.key("reason").str(r.reason);
        j.endObject();
    }
    j.endArray().endObject();
}

void writeActionsBody(JsonWriter& j, const ActionManager& am) {
    j.beginObject().key("actions").beginArray();
    for (const auto& a : am.actions) {
        if (!a.active) continue;
        j.beginObject();
        j.key("id").u(a.id);
        j.key("name").str(a.getName());
        j.key("type").str(actionTypeName(a.action_type));
        j.key("url").str(a.getUrl());
        j.key("enabled").boolean(a.enabled);
        j.key("trigger_count").u(a.trigger_count);
        j.key("last_triggered").i(a.last_triggered);
        j.endObject();
    }
    j.endArray().key("total").u(am.action_count).endObject();
}

void writeSettingsBody(JsonWriter& j, const Config& cfg, const LlmManager& llm) {
    j.beginObject().key("system").beginObject();
    j.key("syslog_port").u(cfg.syslog_port);
    j.key("max_devices").u(cfg.max_devices);
    j.key("log_retention_days").u(cfg.log_retention_days);
    j.key("environment").str(environmentName(cfg.env));
    j.endObject();
    j.key("llm").beginObject().key("configured").boolean(llm.isConfigured());
    if (const LlmConfig* active = llm.getActiveConfig()) {
        j.key("provider").str(llmProviderName(active->provider));
        j.key("base_url").str(active->getBaseUrl());
        j.key("model").str(active->getModel());
        j.key("max_tokens").u(active->max_tokens);
        j.key("temperature").fixed(active->temperature, 2);
    } else {
        // Without a provider the body shows the start-up figures as written.
        j.key("provider").str("").key("base_url").str("").key("model").str("");
        j.key("max_tokens").u(1024).key("temperature").fixed(0.1, 2);
    }
    j.endObject();
    // No integration is configurable: their settings are always empty.
    j.key("integrations").beginObject();
    j.key("shuffle_url").str("").key("shuffle_workflow_id").str("");
    j.key("shuffle_enabled").boolean(false);
    j.key("thehive_url").str("").key("thehive_org").str("");
    j.key("thehive_enabled").boolean(false);
    j.endObject();
    // Notifications: whether they are on and how; of the URL only its
    // scheme, host and port (it may carry a password or a token).
    const AlertSettings& a = cfg.alerts;
    FixedText<300> target;
    appendNotifyTarget(target, a.getNotifyUrl());
    j.key("notifications").beginObject();
    j.key("configured").boolean(a.notifyConfigured());
    j.key("format").str(notifyFormatName(a.notify_format));
    j.key("min_severity").str(severityName(a.notify_min_severity));
    j.key("new_devices").boolean(a.notifyConfigured() && a.new_device_alerts);
    j.key("target").str(target.view());
    j.key("link_base").str(a.getNotifyLinkBase());
    j.endObject().endObject();
}

void writeLlmSettingsBody(JsonWriter& j, const LlmManager& llm) {
    j.beginObject().key("configured").boolean(llm.isConfigured());
    j.key("provider_count").u(llm.config_count).key("providers").beginArray();
    for (u32 i = 0; i < llm.config_count && i < kMaxLlmConfigs; ++i) {
        const LlmConfig& c = llm.configs[i];
        j.beginObject();
        j.key("provider").str(llmProviderName(c.provider));
        j.key("model").str(c.getModel());
        j.key("base_url").str(c.getBaseUrl());
        j.key("enabled").boolean(c.enabled);
        j.key("active").boolean(c.active);
        j.key("has_api_key").boolean(c.hasApiKey());
        j.endObject();
    }
    j.endArray().endObject();
}

Err handleListRules(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    Result<const QueryParams*> q = req.query();
    if (!q) return replyJson(res, 400, kBodyBadQuery);
    Paging p = parsePaging(*q.value);
    SigmaRule* items = requestArray<SigmaRule>(req, p.limit);
    if (!items) return Err::OutOfMemory;
    RulePage page = state.rules->listRules(p.offset, p.limit, items, p.limit);
    return replyWritten(res, kMaxRuleListBodyBytes, [&](JsonWriter& j) {
        writeRuleListBody(j, items, page, p.limit, p.offset);
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
    return replyWritten(res, kMaxIndicatorListBodyBytes, [&](JsonWriter& j) {
        writeIndicatorListBody(j, items, page, p.limit, p.offset);
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

Err handleBulkImportIndicators(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    if (!hasRequestBody(req)) return replyJson(res, 400, kBodyMissingBody);
    acknowledgeBulkIndicatorImport(req.body.size());
    Result<const QueryParams*> q = req.query();
    if (!q) return replyJson(res, 400, kBodyBadQuery);
    FeedDefaults defaults;
    bool found = false;
    std::string_view source = q.value->get("source", &found);
    if (found && !source.empty()) defaults.source = source;
    std::string_view severity = q.value->get("severity", &found);
    if (found) defaults.severity = parseIndicatorSeverity(severity);
    Indicator* items = requestArray<Indicator>(req, kMaxIndicators);
    if (!items) return Err::OutOfMemory;
    FeedResult feed = parseIndicatorFeed(req.body, defaults, items, kMaxIndicators);
    ImportCounts counts = state.indicators->importIndicators(items, feed.count, false);
    logInfo("indicators", "bulk import: {} imported, {} duplicate, {} rejected", counts.imported,
            counts.duplicate, feed.rejected + counts.rejected);
    return replyWritten(res, kMaxBulkImportBodyBytes,
                        [&](JsonWriter& j) { writeBulkImportBody(j, counts, feed); });
}

Err handleListActions(ServerState& state, HttpRequest&, HttpResponse& res) {
    return replyWritten(res, kMaxActionsBodyBytes,
                        [&](JsonWriter& j) { writeActionsBody(j, *state.actions); });
}

Err handleGetSettings(ServerState& state, HttpRequest&, HttpResponse& res) {
    return replyWritten(res, kMaxSettingsBodyBytes,
                        [&](JsonWriter& j) { writeSettingsBody(j, *state.config, *state.llm); });
}

Err handleGetLlmSettings(ServerState& state, HttpRequest&, HttpResponse& res) {
    return replyWritten(res, kMaxLlmSettingsBodyBytes,
                        [&](JsonWriter& j) { writeLlmSettingsBody(j, *state.llm); });
}

}  // namespace tarvex
