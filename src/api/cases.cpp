// cases.cpp: the case endpoints and the case bodies.
#include "api/cases.h"

#include "api/body.h"
#include "api/params.h"

namespace tarvex {

namespace {

// The keys a case list entry and a case detail open with, in that order.
template <class C>
void writeCaseHead(JsonWriter& j, const C& c) {
    j.key("id").u(c.id);
    j.key("title").str(c.getTitle());
    j.key("description").str(c.getDescription());
    j.key("severity").str(caseSeverityName(c.severity));
    j.key("status").str(caseStatusName(c.status));
    j.key("assignee").str(c.getAssignee());
}

}  // namespace

void writeCaseListBody(JsonWriter& j, const CaseSummary* items, CasePage page, u32 limit,
                       u32 offset) {
    j.beginObject().key("cases").beginArray();
    for (u32 i = 0; i < page.count; ++i) {
        const CaseSummary& c = items[i];
        j.beginObject();
        writeCaseHead(j, c);
        j.key("note_count").u(c.note_count);
        j.key("linked_alert_count").u(c.linked_alert_count);
        j.key("created_at").i(c.created_at);
        j.key("updated_at").i(c.updated_at);
        j.endObject();
    }
    j.endArray();
    j.key("total").u(page.total).key("limit").u(limit).key("offset").u(offset);
    j.endObject();
}

void writeCaseBody(JsonWriter& j, const Case& c) {
    j.beginObject();
    writeCaseHead(j, c);
    j.key("created_at").i(c.created_at);
    j.key("updated_at").i(c.updated_at);
    j.key("resolved_at").i(c.resolved_at);
    j.key("notes").beginArray();
    for (u32 i = 0; i < c.note_count && i < kMaxCaseNotes; ++i) {
        const CaseNote& n = c.notes[i];
        if (!n.active) continue;
        j.beginObject();
        j.key("content").str(n.getContent());
        j.key("author").str(n.getAuthor());
        j.key("created_at").i(n.created_at);
        j.endObject();
    }
    j.endArray().key("linked_alert_ids").beginArray();
    for (u32 i = 0; i < c.linked_alert_count && i < kMaxLinkedAlerts; ++i)
        j.u(c.linked_alert_ids[i]);
    j.endArray().endObject();
}

Err handleListCases(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    Result<const QueryParams*> q = req.query();
    if (!q) return replyJson(res, 400, kBodyBadQuery);
    Paging p = parsePaging(*q.value);
    CaseSummary* items = requestArray<CaseSummary>(req, p.limit);
    if (!items) return Err::OutOfMemory;
    CasePage page = state.cases->listCases(p.offset, p.limit, items, p.limit);
    return replyWritten(res, kMaxCaseListBodyBytes, [&](JsonWriter& j) {
        writeCaseListBody(j, items, page, p.limit, p.offset);
    });
}

Err handleGetCase(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    std::optional<u32> id = parseCaseId(req.param("id"));
    if (!id) return replyJson(res, 404, kBodyNotFound);
    Case* c = requestArray<Case>(req, 1);
    if (!c) return Err::OutOfMemory;
    if (!state.cases->copyCase(*id, *c)) return replyJson(res, 404, kBodyNotFound);
    return replyWritten(res, kMaxCaseBodyBytes, [&](JsonWriter& j) { writeCaseBody(j, *c); });
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
