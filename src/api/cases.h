// cases.h: the case endpoints (list, read, create, add a note) and the
// bodies they answer with.
//
// Each handler reads the request and calls the case store, which serialises
// its writers and hands back copies (summaries or a whole case) taken under
// its own lock; the bodies below are written from those copies afterwards.
#pragma once

#include "api/context.h"
#include "api/json.h"
#include "cases/manager.h"
#include "common/reply.h"

namespace tarvex {

// GET /api/cases: newest first, paged by "limit" and "offset".
Err handleListCases(ServerState& state, HttpRequest& req, HttpResponse& res);
// GET /api/cases/:id: one case with its notes and linked alert ids.
Err handleGetCase(ServerState& state, HttpRequest& req, HttpResponse& res);
// POST /api/cases: {"title", "description", "severity"}.
Err handleCreateCase(ServerState& state, HttpRequest& req, HttpResponse& res);
// POST /api/cases/:id/notes: {"content", "author"}.
Err handleAddCaseNote(ServerState& state, HttpRequest& req, HttpResponse& res);
// Fixed replies of the case endpoints.
inline constexpr FixedReply kReplyMissingTitle{400, "{\"error\":\"missing title field\"}"};
inline constexpr FixedReply kReplyCaseTableFull{503, "{\"error\":\"case table full\"}"};
inline constexpr FixedReply kReplyCaseNotFound{404, "{\"error\":\"case not found\"}"};
inline constexpr FixedReply kReplyMissingContent{400, "{\"error\":\"missing content field\"}"};
inline constexpr FixedReply kReplyNoteBufferFull{503, "{\"error\":\"note buffer full\"}"};
inline constexpr FixedReply kReplyNoteCreated{200, "{\"status\":\"created\"}"};
// Body of a created case (status 200), for formatInto with the new id.
inline constexpr std::string_view kCaseCreatedPattern = "{\"id\":{},\"status\":\"created\"}";

// Body of the case list: {"cases":[...],"total":T,"limit":L,"offset":O} with
// the `page.count` summaries of `items`.
void writeCaseListBody(JsonWriter& j, const CaseSummary* items, CasePage page, u32 limit,
                       u32 offset);
// Body of one case with its notes and linked alert ids.
void writeCaseBody(JsonWriter& j, const Case& c);

// Room that always holds the bodies above: every text byte escaped at worst
// to three bytes (an invalid byte becomes U+FFFD), plus a generous allowance
// for keys, punctuation and the widest numbers. A list page holds up to 500
// cases.
constexpr size_t kCaseTextBytes = 3 * (128 + 512 + 64);
constexpr size_t kMaxCaseListBodyBytes = 128 + 500 * (256 + kCaseTextBytes);
constexpr size_t kMaxCaseBodyBytes =
    512 + kCaseTextBytes + kMaxCaseNotes * (96 + 3 * (1024 + 64)) + kMaxLinkedAlerts * 11;

}  // namespace tarvex
