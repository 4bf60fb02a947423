// local_copy.cpp: request-local copies of engine state for the read endpoints.
#include "api/local_copy.h"

#include "common/clock.h"
#include "engine_state.h"

namespace tarvex {

void copyEvent(const RawEvent& e, EventCopy& out) {
    std::string_view data = e.getData();
    std::string_view ip = e.getSourceIp();
    out.timestamp = e.timestamp;
    out.type = e.event_type;
    out.data_len = static_cast<u16>(data.size());
    out.source_ip_len = static_cast<u8>(ip.size());
    std::memcpy(out.data, data.data(), data.size());
    std::memcpy(out.source_ip, ip.data(), ip.size());
}

void writeEventJson(JsonWriter& j, const EventCopy& e, bool with_source) {
    j.beginObject().key("timestamp").i(e.timestamp).key("type").u(e.type);
    if (with_source) j.key("source_ip").str(e.getSourceIp());
    j.key("data").str(e.getData()).endObject();
}

const QueryParams* queryOrBadRequest(HttpRequest& req, HttpResponse& res) {
    Result<const QueryParams*> q = req.query();
    if (q.ok()) return q.value;
    replyJson(res, 400, kBodyBadQuery);
    return nullptr;
}

i64 apiNow(const ServerState& state) {
    if (state.engine && state.engine->clock) return state.engine->clock();
    return wallSeconds();
}

std::optional<u64> parseDecimal(std::string_view text, u64 max) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    u64 n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        u64 d = static_cast<u64>(c - '0');
        if (d > max || n > (max - d) / 10) return std::nullopt;
        n = n * 10 + d;
    }
    return n;
}

std::optional<i64> parseDecimalI64(std::string_view text) {
    bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    // The magnitude may reach 2^63 only for a negative number.
    auto mag = parseDecimal(text, negative ? (u64{1} << 63) : (u64{1} << 63) - 1);
    if (!mag) return std::nullopt;
    if (!negative) return static_cast<i64>(*mag);
    return *mag == (u64{1} << 63) ? INT64_MIN : -static_cast<i64>(*mag);
}

i64 parseQueryI64(const QueryParams& query, std::string_view name, i64 dflt) {
    bool found = false;
    std::string_view v = query.get(name, &found);
    if (!found) return dflt;
    return parseDecimalI64(v).value_or(dflt);
}

}  // namespace tarvex
