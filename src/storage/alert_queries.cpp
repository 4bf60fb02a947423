// alert_queries.cpp: the highest stored alert id and one stored alert.
#include "storage/alert_queries.h"

#include <cstring>

#include "common/log.h"
#include "common/mac.h"
#include "common/text.h"

namespace tarvex {

Result<u32> queryHighestAlertId(PgPool& pool) {
    Result<PgRows> rows = pool.query(sql::kHighestAlertId);
    if (!rows.ok()) {
        logWarn("persistence", "failed to read the highest alert id: {}", rows.err);
        return rows.err;
    }
    if (!rows.value.next()) return 0u;
    Result<i64> v = rows.value.getI64(0);
    if (!v.ok()) {
        logWarn("persistence", "failed to read the highest alert id: {}", v.err);
        return v.err;
    }
    if (v.value <= 0) return 0u;
    return v.value >= 0xFFFFFFFFll ? 0xFFFFFFFEu : static_cast<u32>(v.value);
}

namespace {

i64 i64Or0(const PgRows& rows, int col) {
    Result<i64> v = rows.getI64(col);
    return v.ok() ? v.value : 0;
}

}  // namespace

bool queryStoredAlert(PgPool& pool, u32 id, Alert& out) {
    Result<PgRows> rows = pool.query(sql::kStoredAlert, {static_cast<i64>(id)});
    if (!rows.ok()) {
        logWarn("persistence", "failed to query alert {}: {}", id, rows.err);
        return false;
    }
    PgRows& r = rows.value;
    if (!r.next()) return false;
    out = Alert{};
    out.id = id;
    out.active = true;
    copyBounded(out.title, out.title_len, r.getText(1).value_or(""));
    copyBounded(out.description, out.description_len, r.getText(2).value_or(""));
    out.setEvidence(r.getText(3).value_or(""));
    const std::string_view severity = r.getText(4).value_or("");
    for (u8 k = 0; k <= static_cast<u8>(AlertSeverity::critical); ++k)
        if (severityName(static_cast<AlertSeverity>(k)) == severity)
            out.severity = static_cast<AlertSeverity>(k);
    out.status = parseStatus(r.getText(5).value_or("")).value_or(AlertStatus::new_);
    // macaddr reads back as lower-case pairs joined by ':'.
    if (auto mac = parseMac(r.getText(6).value_or(""))) std::memcpy(out.source_mac, mac->b, 6);
    out.setSourceIp(r.getText(7).value_or(""));
    out.setDestIp(r.getText(8).value_or(""));
    Result<f32> score = r.getF32(9);
    out.surprise_score = score.ok() ? score.value : 0.0f;
    const i64 waves = i64Or0(r, 10);
    out.collision_wave_count = waves > 0 && waves < 0xFFFFFFFFll ? static_cast<u32>(waves) : 0;
    out.created_at = out.updated_at = i64Or0(r, 11);
    copyBounded(out.note, out.note_len, r.getText(12).value_or(""));
    out.status_changed_at = i64Or0(r, 13);
    return true;
}

}  // namespace tarvex
