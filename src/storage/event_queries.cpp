// event_queries.cpp: the related-events lookup.
#include "storage/event_queries.h"

#include <span>

#include "common/log.h"
#include "common/text.h"
#include "storage/persistence_batch.h"

namespace tarvex {

Result<u32> queryRelatedEvents(PgPool& pool, std::string_view text,
                               DbEvent (&out)[kMaxRelatedEvents]) {
    if (text.empty()) return 0u;
    char pattern[256];
    Result<size_t> plen = escapeLikePattern(text, std::span<char, 256>(pattern));
    if (!plen.ok()) return 0u;
    Result<PgRows> rows =
        pool.query(sql::kRelatedEvents, {text, std::string_view(pattern, plen.value)});
    if (!rows.ok()) {
        logWarn("persistence", "failed to query related events for {}: {}", text, rows.err);
        return rows.err;
    }
    u32 n = 0;
    while (n < kMaxRelatedEvents && rows.value.next()) {
        DbEvent& e = out[n++];
        Result<i64> ts = rows.value.getI64(0);
        Result<i64> type = rows.value.getI64(1);
        e.timestamp = ts.ok() ? ts.value : 0;
        e.event_type = type.ok() ? static_cast<std::int16_t>(type.value) : 0;
        copyBounded(e.source_ip, e.source_ip_len, rows.value.getText(2).value_or(""));
        copyBounded(e.data, e.data_len, rows.value.getText(3).value_or(""));
    }
    return n;
}

}  // namespace tarvex
