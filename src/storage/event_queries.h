// event_queries.h: the related-events lookup of the alert detail.
//
// queryRelatedEvents reads stored events back from siem.events for the alert
// detail endpoint. It runs on an HTTP handler thread, without the state lock,
// over the pool the persistence layer opened (Persistence::pool(); the pool
// is thread-safe). Each caller passes its own output rows.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/error.h"
#include "common/types.h"
#include "pg/pool.h"

namespace tarvex {

namespace sql {
inline constexpr const char* kRelatedEvents =
    "SELECT EXTRACT(EPOCH FROM event_time)::bigint, event_type, host(source_ip), raw_data FROM "
    "siem.events WHERE (source_ip = $1::inet OR raw_data ILIKE $2) ORDER BY event_time DESC "
    "LIMIT 50";
}  // namespace sql

// A row read back by the related-events lookup.
struct DbEvent {
    i64 timestamp;
    std::int16_t event_type;
    u16 data_len;
    char source_ip[46];
    u8 source_ip_len;
    char data[2048];

    std::string_view getSourceIp() const { return {source_ip, source_ip_len}; }
    std::string_view getData() const { return {data, data_len}; }
};
constexpr u32 kMaxRelatedEvents = 50;

// Events whose source address is `text` or whose raw text contains it
// (case-insensitively), newest first, at most 50. Nothing is queried for an
// empty text or one whose pattern does not fit 256 bytes (count 0). A failed
// query is logged ("warning(persistence): failed to query related events for
// {text}: {error}") and its error returned.
Result<u32> queryRelatedEvents(PgPool& pool, std::string_view text,
                               DbEvent (&out)[kMaxRelatedEvents]);

}  // namespace tarvex
