// cases.cpp: the case endpoints.
#include "api/cases.h"

#include "api/body.h"
#include "api/json.h"
#include "api/params.h"
#include "cases/manager.h"

namespace tarvex {

Err handleListCases(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    Result<const QueryParams*> q = req.query();
    if (!q) return replyJson(res, 400, kBodyBadQuery);
    Paging p = parsePaging(*q.value);
    CaseSummary* items = requestArray<CaseSummary>(req, p.limit);
    if (!items) return Err::OutOfMemory;
    CasePage page = state.cases->listCases(p.offset, p.limit, items, p.limit);
    return replyWritten(req, res, kMaxCaseListBodyBytes, [&](TextBuf& out) {
        writeCaseListBody(out, items, page, p.limit, p.offset);
    });
}

Err handleGetCase(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    std::optional<u32> id = parseCaseId(req.param("id"));
    if (!id) return replyJson(res, 404, kBodyNotFound);
    Case* c = requestArray<Case>(req, 1);
    if (!c) return Err::OutOfMemory;
    if (!state.cases->copyCase(*id, *c)) return replyJson(res, 404, kBodyNotFound);
    return replyWritten(req, res, kMaxCaseBodyBytes, [&](TextBuf& out) { writeCaseBody(out, *c); });
}

Err handleCreateCase(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    if (!hasRequestBody(req)) return replyJson(res, 400, kBodyMissingBody);
    JsonBody body(req.body);
    std::optional<std::string_view> title = extractJsonString(body, "title");
    if (!title) return replyFixed(res, kReplyMissingTitle);
    std::string_view description = extractJsonString(body, "description").value_or("");
    CaseSeverity severity = parseCaseSeverity(extractJsonString(body, "severity"));
    u32 id = state.cases->createCase(*title, description, severity);
    if (id == 0) return replyFixed(res, kReplyCaseTableFull);
    FixedText<64> text;
    formatInto(text, kCaseCreatedPattern, id);
    res.writer().append(text.view());
    return res.bodyErr();
}

Err handleAddCaseNote(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    std::optional<u32> id = parseCaseId(req.param("id"));
    if (!id) return replyJson(res, 404, kBodyNotFound);
    // Cases are never removed, so one found here is still there below.
    if (!state.cases->hasCase(*id)) return replyFixed(res, kReplyCaseNotFound);
    if (!hasRequestBody(req)) return replyJson(res, 400, kBodyMissingBody);
    JsonBody body(req.body);
    std::optional<std::string_view> content = extractJsonString(body, "content");
    if (!content) return replyFixed(res, kReplyMissingContent);
    switch (state.cases->addNote(*id, *content, extractJsonString(body, "author"))) {
        case NoteResult::added:
            return replyFixed(res, kReplyNoteCreated);
        case NoteResult::case_not_found:
            return replyFixed(res, kReplyCaseNotFound);
        case NoteResult::note_buffer_full:
            return replyFixed(res, kReplyNoteBufferFull);
    }
    return replyFixed(res, kReplyNoteBufferFull);
}

}  // namespace tarvex
