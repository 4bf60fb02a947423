// alerts.cpp: the alert list, alert detail and alert triage endpoints.
#include "api/alerts.h"

#include <cstring>

#include "alert/manager.h"
#include "api/body.h"
#include "api/json.h"
#include "api/local_copy.h"
#include "api/params.h"
#include "api/ws.h"
#include "common/log.h"
#include "common/state_lock.h"
#include "common/table.h"
#include "common/text.h"
#include "engine_state.h"
#include "storage/alert_queries.h"
#include "storage/db_records.h"
#include "storage/event_queries.h"
#include "storage/persistence.h"

namespace tarvex {

namespace {

constexpr u32 kRelatedEvents = 50;
constexpr u32 kMaskAll = 0x1F;

constexpr std::string_view kSeverityWords[] = {"info", "low", "medium", "high", "critical"};
constexpr std::string_view kStatusWords[] = {"new", "acknowledged", "investigating", "resolved",
                                             "false_positive"};

// The bits of the comma-separated words of parameter `name` that equal one
// of `words` exactly (bit k for words[k]); every bit when the parameter is
// absent or empty, so a list of unknown words matches nothing.
template <size_t N>
u32 wordMask(const QueryParams& query, std::string_view name, const std::string_view (&words)[N]) {
    std::string_view list = query.get(name);
    if (list.empty()) return kMaskAll;
    u32 mask = 0;
    for (;;) {
        const size_t comma = list.find(',');
        const std::string_view word = list.substr(0, comma);
        for (size_t k = 0; k < N; ++k)
            if (word == words[k]) mask |= 1u << k;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return mask;
}

// The fields the list and the detail show, copied out of the table.
struct AlertListRow {
    i64 created_at;
    u32 id;
    f32 surprise_score;
    u32 collision_wave_count;
    u16 description_len;
    AlertSeverity severity;
    AlertStatus status;
    u8 source_mac[6];
    u8 title_len;
    u8 source_ip_len;
    u8 dest_ip_len;
    u16 note_len;
    i64 status_changed_at;
    char title[kAlertTitleCap];
    char description[kAlertDescriptionCap];
    char source_ip[kAlertIpCap];
    char dest_ip[kAlertIpCap];
    char note[kAlertNoteCap];

    std::string_view getSourceIp() const { return {source_ip, source_ip_len}; }
    std::string_view getDestIp() const { return {dest_ip, dest_ip_len}; }
};

void copyAlert(const Alert& a, AlertListRow& r) {
    r.created_at = a.created_at;
    r.id = a.id;
    r.surprise_score = a.surprise_score;
    r.collision_wave_count = a.collision_wave_count;
    r.severity = a.severity;
    r.status = a.status;
    std::memcpy(r.source_mac, a.source_mac, 6);
    copyBounded(r.title, r.title_len, a.getTitle());
    copyBounded(r.description, r.description_len, a.getDescription());
    copyBounded(r.source_ip, r.source_ip_len, a.getSourceIp());
    copyBounded(r.dest_ip, r.dest_ip_len, a.getDestIp());
    copyBounded(r.note, r.note_len, a.getNote());
    r.status_changed_at = a.status_changed_at;
}

bool matchesSearch(const Alert& a, std::string_view search) {
    return containsBytes(a.getTitle(), search) || containsBytes(a.getDescription(), search) ||
           containsBytes(a.getSourceIp(), search) || containsBytes(a.getDestIp(), search);
}

// Whether a raw event concerns the alert's addresses: sent from one of them
// or naming one. An empty address matches nothing.
bool relatedToAlert(const RawEvent& e, std::string_view src, std::string_view dst) {
    if (!e.active) return false;
    if (!src.empty() && (e.getSourceIp() == src || containsBytes(e.getData(), src))) return true;
    return !dst.empty() && (e.getSourceIp() == dst || containsBytes(e.getData(), dst));
}

// Events related to `source_ip` from the database, newest first, at most
// `cap` of them; none without a database. Runs on the handler's own thread
// without the state lock.
u32 relatedEventsFromDatabase(const ServerState& state, std::string_view source_ip, EventCopy* out,
                              u32 cap, Arena& arena) {
    if (!state.db) return 0;
    // The rows are large (2 KiB each): they live in the request's arena. A
    // failed query has already been logged by the persistence layer.
    struct Rows {
        DbEvent row[kMaxRelatedEvents];
    };
    Rows* got_rows = arenaArray<Rows>(arena, 1);
    if (!got_rows) return 0;
    const DbEvent* rows = got_rows->row;
    Result<u32> got = queryRelatedEvents(state.db->pool(), source_ip, got_rows->row);
    if (!got) return 0;
    u32 n = got.value < cap ? got.value : cap;
    for (u32 i = 0; i < n; ++i) {
        EventCopy& e = out[i];
        e.timestamp = rows[i].timestamp;
        e.type = static_cast<u8>(rows[i].event_type);
        copyBounded(e.source_ip, e.source_ip_len, rows[i].getSourceIp());
        copyBounded(e.data, e.data_len, rows[i].getData());
    }
    return n;
}

}  // namespace

Err handleListAlerts(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    const QueryParams* q = queryOrBadRequest(req, res);
    if (!q) return Err::None;
    const Paging page = parsePaging(*q);
    const u32 severities = wordMask(*q, "severity", kSeverityWords);
    const u32 statuses = wordMask(*q, "status", kStatusWords);
    const std::string_view search = q->get("search");

    struct Key {
        i64 created_at;
        u32 id;
        u32 slot;
    };
    Key* keys = arenaArray<Key>(*req.arena, kMaxAlerts);
    Key* scratch = arenaArray<Key>(*req.arena, kMaxAlerts);
    AlertListRow* rows = arenaArray<AlertListRow>(*req.arena, page.limit);
    if (!keys || !scratch || !rows) return Err::OutOfMemory;

    u32 total = 0;
    u32 shown = 0;
    {
        SharedGuard hold(state.engine->lock);
        const AlertManager& am = *state.engine->alerts;
        forEachActiveSlot(am.alerts, am.alert_count, [&](u32 i, const Alert& a) {
            const auto sev = static_cast<u32>(a.severity);
            const auto st = static_cast<u32>(a.status);
            if (sev > 4 || !(severities & (1u << sev))) return true;
            if (st > 4 || !(statuses & (1u << st))) return true;
            if (!search.empty() && !matchesSearch(a, search)) return true;
            keys[total++] = {a.created_at, a.id, i};
            return true;
        });
        stableSort(keys, scratch, total, [](const Key& a, const Key& b) {
            return a.created_at != b.created_at ? a.created_at > b.created_at : a.id > b.id;
        });
        const u32 start = page.offset < total ? page.offset : total;
        shown = total - start < page.limit ? total - start : page.limit;
        for (u32 k = 0; k < shown; ++k) copyAlert(am.alerts[keys[start + k].slot], rows[k]);
    }

    JsonWriter j(res.writer());
    j.beginObject().key("alerts").beginArray();
    for (u32 k = 0; k < shown; ++k) {
        const AlertListRow& r = rows[k];
        j.beginObject()
            .key("id")
            .u(r.id)
            .key("title")
            .str({r.title, r.title_len})
            .key("description")
            .str({r.description, r.description_len})
            .key("severity")
            .str(severityName(r.severity))
            .key("status")
            .str(statusName(r.status))
            .key("surprise_score")
            .fixed(r.surprise_score)
            .key("collision_wave_count")
            .u(r.collision_wave_count)
            .key("source_mac")
            .mac(r.source_mac)
            .key("source_ip")
            .str(r.getSourceIp())
            .key("dest_ip")
            .str(r.getDestIp())
            .key("created_at")
            .i(r.created_at)
            .key("note")
            .str({r.note, r.note_len})
            .key("status_changed_at")
            .i(r.status_changed_at)
            .endObject();
    }
    j.endArray().key("total").u(total).key("limit").u(page.limit).key("offset").u(page.offset);
    j.endObject();
    return j.err();
}

Err handleGetAlert(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    const auto id = parseDecimal(req.param("id"), 0xFFFFFFFFu);
    if (!id) return replyJson(res, 404, kBodyNotFound);

    struct Detail {
        AlertListRow alert;
        u16 evidence_len;
        char evidence[kAlertEvidenceCap];
    };
    Detail* d = arenaArray<Detail>(*req.arena, 1);
    EventCopy* events = arenaArray<EventCopy>(*req.arena, kRelatedEvents);
    if (!d || !events) return Err::OutOfMemory;
    u32 event_count = 0;
    // An alert whose slot a newer one took may still be in the database:
    // it is read first, without the lock, and the ring is searched for it
    // like for any other.
    Alert* stored = nullptr;
    {
        SharedGuard hold(state.engine->lock);
        if (const Alert* a = state.engine->alerts->getAlert(static_cast<u32>(*id))) {
            copyAlert(*a, d->alert);
            copyBounded(d->evidence, d->evidence_len, a->getEvidence());
        } else if (!state.db) {
            return replyJson(res, 404, kBodyNotFound);
        } else {
            stored = arenaArray<Alert>(*req.arena, 1);
            if (!stored) return Err::OutOfMemory;
        }
    }
    if (stored) {
        if (!queryStoredAlert(state.db->pool(), static_cast<u32>(*id), *stored))
            return replyJson(res, 404, kBodyNotFound);
        copyAlert(*stored, d->alert);
        copyBounded(d->evidence, d->evidence_len, stored->getEvidence());
    }
    {
        const std::string_view src = d->alert.getSourceIp();
        const std::string_view dst = d->alert.getDestIp();
        if (!src.empty() || !dst.empty()) {
            SharedGuard hold(state.engine->lock);
            const RingBuffer& ring = *state.engine->ring;
            const u32 held = ring.occupancy();
            for (u32 i = 0; i < held && event_count < kRelatedEvents; ++i) {
                const RawEvent& e = ring.newest(i);
                if (relatedToAlert(e, src, dst)) copyEvent(e, events[event_count++]);
            }
        }
    }
    const AlertListRow& r = d->alert;
    std::string_view event_source = event_count ? "buffer" : "none";
    // Only the ring is read under the lock; the database is asked (by this
    // thread alone) only when the ring had nothing.
    if (event_count == 0 && r.source_ip_len != 0) {
        event_count =
            relatedEventsFromDatabase(state, r.getSourceIp(), events, kRelatedEvents, *req.arena);
        if (event_count) event_source = "database";
    }

    JsonWriter j(res.writer());
    j.beginObject()
        .key("id")
        .u(r.id)
        .key("title")
        .str({r.title, r.title_len})
        .key("description")
        .str({r.description, r.description_len})
        .key("evidence")
        .str({d->evidence, d->evidence_len})
        .key("severity")
        .str(severityName(r.severity))
        .key("status")
        .str(statusName(r.status))
        .key("source_mac")
        .mac(r.source_mac)
        .key("source_ip")
        .str(r.getSourceIp())
        .key("dest_ip")
        .str(r.getDestIp())
        .key("surprise_score")
        .fixed(r.surprise_score)
        .key("collision_wave_count")
        .u(r.collision_wave_count)
        .key("created_at")
        .i(r.created_at)
        .key("related_events")
        .beginArray();
    for (u32 k = 0; k < event_count; ++k) writeEventJson(j, events[k], true);
    j.endArray().key("event_source").str(event_source);
    j.key("note").str({r.note, r.note_len}).key("status_changed_at").i(r.status_changed_at);
    j.endObject();
    return j.err();
}

}  // namespace tarvex

namespace tarvex {

Err handlePatchAlert(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    const auto id = parseDecimal(req.param("id"), 0xFFFFFFFFu);
    if (!id) return replyJson(res, 404, kBodyNotFound);
    if (!hasRequestBody(req)) return replyJson(res, 400, kBodyMissingBody);
    JsonBody body(req.body);
    const std::optional<AlertStatus> status =
        parseStatus(extractJsonString(body, "status").value_or(""));
    if (!status || *status == AlertStatus::new_) return replyJson(res, 400, kBodyBadStatus);
    const std::string_view note = extractJsonString(body, "note").value_or("");

    AlertStatusRow row;
    {
        ExclusiveGuard hold(state.engine->lock);
        const Alert* a = state.engine->alerts->setStatus(static_cast<u32>(*id), *status, note,
                                                         state.engine->clock());
        if (!a) return replyJson(res, 404, kBodyNotFound);
        row = AlertStatusRow::fromAlert(*a);
    }
    logInfo("alert_manager", "alert {} set to {}", row.alert_id, statusName(row.status));
    if (state.db) state.db->submitAlertStatus(row);
    broadcastAlertStatus(row.alert_id, statusName(row.status));
    return handleGetAlert(state, req, res);
}

}  // namespace tarvex
