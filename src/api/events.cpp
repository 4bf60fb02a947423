// events.cpp: the raw event search endpoint.
#include "api/events.h"

#include <limits>

#include "api/json.h"
#include "api/local_copy.h"
#include "api/params.h"
#include "common/state_lock.h"
#include "engine_state.h"

namespace tarvex {

Err handleSearchEvents(ServerState& state, HttpRequest& req, HttpResponse& res) {
    res.content_type = ContentType::json;
    const QueryParams* q = queryOrBadRequest(req, res);
    if (!q) return Err::None;
    const Paging page = parsePaging(*q);
    const std::string_view text = q->get("q");
    const auto type = parseDecimal(q->get("type"), 255);
    const i64 from = parseQueryI64(*q, "from", 0);
    const i64 to = parseQueryI64(*q, "to", std::numeric_limits<i64>::max());

    EventCopy* events = arenaArray<EventCopy>(*req.arena, page.limit);
    if (!events) return Err::OutOfMemory;
    u32 matches = 0;
    u32 written = 0;
    {
        SharedGuard hold(state.engine->lock);
        const RingBuffer& ring = *state.engine->ring;
        const u32 held = page.limit ? ring.occupancy() : 0;
        for (u32 i = 0; i < held && written < page.limit; ++i) {
            const RawEvent& e = ring.newest(i);
            if (!e.active || e.timestamp < from || e.timestamp > to) continue;
            if (type && e.event_type != *type) continue;
            if (!text.empty() && !containsBytes(e.getData(), text) &&
                !containsBytes(e.getSourceIp(), text))
                continue;
            if (++matches > page.offset) copyEvent(e, events[written++]);
        }
    }

    JsonWriter j(res.writer());
    j.beginObject().key("events").beginArray();
    for (u32 k = 0; k < written; ++k) writeEventJson(j, events[k], true);
    j.endArray().key("total").u(matches).key("limit").u(page.limit).key("offset").u(page.offset);
    j.endObject();
    return j.err();
}

}  // namespace tarvex
