// records.h: the rule, indicator, response-action and settings endpoints
// and the bodies they answer with.
//
// Rules, actions and the LLM table are read-only once the server runs; the
// indicator store serialises its own writers. A handler copies what it lists
// out of the store (or reads the read-only tables directly) and writes the
// body below from those records on its own thread.
#pragma once

#include "ai/llm.h"
#include "api/context.h"
#include "api/json.h"
#include "common/reply.h"
#include "intel/indicator_feed.h"
#include "intel/indicators.h"
#include "response/actions.h"
#include "rules/engine.h"

namespace tarvex {

// GET /api/rules: active rules in slot order, paged.
Err handleListRules(ServerState& state, HttpRequest& req, HttpResponse& res);
// POST /api/rules/import: acknowledges the upload; nothing is stored.
Err handleImportRule(ServerState& state, HttpRequest& req, HttpResponse& res);
// GET /api/indicators: indicators in insertion order, paged.
Err handleListIndicators(ServerState& state, HttpRequest& req, HttpResponse& res);
// POST /api/indicators: {"value", "type", "severity", "source"}.
Err handleAddIndicator(ServerState& state, HttpRequest& req, HttpResponse& res);
// POST /api/indicators/bulk: imports a plain list, CSV or Zeek intel file
// (query "source" and "severity" for lines that name none).
Err handleBulkImportIndicators(ServerState& state, HttpRequest& req, HttpResponse& res);
// GET /api/response-actions
Err handleListActions(ServerState& state, HttpRequest& req, HttpResponse& res);
// GET /api/settings: system settings, the active LLM provider, integrations.
Err handleGetSettings(ServerState& state, HttpRequest& req, HttpResponse& res);
// GET /api/settings/llm: every stored provider, API keys withheld.
Err handleGetLlmSettings(ServerState& state, HttpRequest& req, HttpResponse& res);

// Acknowledges a rule upload of `body_len` bytes: logs its size and returns
// the accepted reply. The upload itself is not kept.
FixedReply acknowledgeRuleImport(size_t body_len);

inline constexpr FixedReply kReplyRuleImportAccepted{
    200, "{\"status\":\"accepted\",\"message\":\"rule import queued\"}"};

// Logs the size of a bulk upload of `body_len` bytes and returns the
// accepted reply a bulk import's body starts from.
FixedReply acknowledgeBulkIndicatorImport(size_t body_len);

// Body of a bulk import: {"status":"accepted","message":"bulk import
// queued","imported":I,"duplicate":D,"rejected":R,"rejected_lines":[{"line":
// N,"text":T,"reason":W},...]} with the first rejected lines (text cut to
// kRejectedTextBytes).
void writeBulkImportBody(JsonWriter& j, const ImportCounts& counts, const FeedResult& feed);
constexpr size_t kRejectedTextBytes = 200;
constexpr size_t kMaxBulkImportBodyBytes =
    256 + FeedResult::kKeptRejections * (128 + 6 * kRejectedTextBytes + 6 * 64);

// Fixed replies of the indicator endpoints.
inline constexpr FixedReply kReplyMissingValue{400, "{\"error\":\"missing value field\"}"};
inline constexpr FixedReply kReplyIndicatorStoreFull{503, "{\"error\":\"indicator store full\"}"};
inline constexpr FixedReply kReplyIndicatorCreated{200, "{\"status\":\"created\"}"};
inline constexpr FixedReply kReplyBulkImportAccepted{
    200, "{\"status\":\"accepted\",\"message\":\"bulk import queued\"}"};

// Body of the rule list: {"rules":[...],"total":T,"limit":L,"offset":O} with
// the `page.count` rules of `items`.
void writeRuleListBody(JsonWriter& j, const SigmaRule* items, RulePage page, u32 limit, u32 offset);
// Room that always holds a rule list page of up to 500 rules: texts escaped
// at worst to three bytes per byte, plus keys and enumeration names.
constexpr size_t kMaxRuleListBodyBytes = 128 + 500 * (160 + 3 * (64 + 128 + 32));

// Body of the indicator list: {"indicators":[...],"total":T,"limit":L,
// "offset":O} with the `page.count` indicators of `items`.
void writeIndicatorListBody(JsonWriter& j, const Indicator* items, IndicatorPage page, u32 limit,
                            u32 offset);
// Room that always holds an indicator list page of up to 500 indicators:
// texts escaped at worst to three bytes per byte, plus keys and numbers.
constexpr size_t kMaxIndicatorListBodyBytes = 128 + 500 * (200 + 3 * (256 + 64));

// The body of the action list: {"actions":[...],"total":N}, every active
// slot in slot order.
void writeActionsBody(JsonWriter& j, const ActionManager& am);
// Room that always holds the action list: name and URL escaped at worst to
// three bytes per byte, plus keys, the type name and the widest numbers.
constexpr size_t kMaxActionsBodyBytes = 64 + kMaxActions * (160 + 3 * (64 + 256));

// Body of the general settings endpoint (system, llm, integrations).
void writeSettingsBody(JsonWriter& j, const Config& cfg, const LlmManager& llm);
// Body of the LLM settings endpoint: every stored config, key withheld.
void writeLlmSettingsBody(JsonWriter& j, const LlmManager& llm);
// Room that always holds the settings bodies: base URL and model escaped at
// worst to three bytes per byte, plus the fixed texts, keys and numbers (a
// temperature is at most 42 characters).
constexpr size_t kMaxSettingsBodyBytes = 1024 + 3 * (256 + 64);
constexpr size_t kMaxLlmSettingsBodyBytes = 64 + kMaxLlmConfigs * (160 + 3 * (64 + 256));

}  // namespace tarvex
