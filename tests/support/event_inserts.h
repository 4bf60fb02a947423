// event_inserts.h: the event inserts the daemon does not use, kept to be
// measured against the one it does (one statement over unnested arrays):
// one row per statement, and one multi-row VALUES list. The flush benchmark
// and the batch tests use them.
#pragma once

#include <string>
#include <vector>

#include "pg/param.h"
#include "storage/persistence_batch.h"

namespace tarvex::test {

// One event per statement.
inline constexpr const char* kEventInsertOneRow =
    "INSERT INTO siem.events (event_type, source_ip, raw_data, event_time) VALUES ($1::smallint, "
    "$2::inet, $3, to_timestamp($4))";

// Appends the parameters of every pending event of `b` with non-empty raw
// data, four per event in the order of the inserts ($1 type, $2 source
// address or NULL, $3 raw text, $4 epoch seconds); returns the number of
// events appended. The parameters point into the ring.
inline u32 appendInsertParams(const EventBatch& b, std::vector<PgParam>& out) {
    u32 rows = 0;
    for (u32 i = 0, n = b.pendingCount(); i < n; ++i) {
        const BufferedEvent& e = b.pending(i);
        if (e.raw_data_len == 0) continue;
        out.emplace_back(static_cast<int>(e.event_type));
        out.push_back(PgParam::textOrNull(e.getSourceIp()));
        out.emplace_back(e.getData());
        out.emplace_back(static_cast<f64>(e.timestamp));
        ++rows;
    }
    return rows;
}

// The INSERT of `rows` events in one VALUES list, four parameters per row in
// the order appendInsertParams produces them.
inline std::string eventInsertSql(u32 rows) {
    std::string sql =
        "INSERT INTO siem.events (event_type, source_ip, raw_data, event_time) VALUES ";
    for (u32 r = 0; r < rows; ++r) {
        u32 p = r * 4;
        if (r) sql += ", ";
        sql += "($";
        sql += std::to_string(p + 1);
        sql += "::smallint, $";
        sql += std::to_string(p + 2);
        sql += "::inet, $";
        sql += std::to_string(p + 3);
        sql += ", to_timestamp($";
        sql += std::to_string(p + 4);
        sql += "))";
    }
    return sql;
}

}  // namespace tarvex::test
