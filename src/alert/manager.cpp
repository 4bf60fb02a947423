// manager.cpp: alert creation, lookup by id and the bounded text setters.
#include "alert/manager.h"

#include <cstring>
#include <utility>

#include "common/clock.h"
#include "common/log.h"
#include "common/text.h"

namespace tarvex {

std::string_view severityName(AlertSeverity s) {
    switch (s) {
        case AlertSeverity::info:
            return "info";
        case AlertSeverity::low:
            return "low";
        case AlertSeverity::medium:
            return "medium";
        case AlertSeverity::high:
            return "high";
        case AlertSeverity::critical:
            return "critical";
    }
    return "";
}

std::string_view statusName(AlertStatus s) {
    switch (s) {
        case AlertStatus::new_:
            return "new";
        case AlertStatus::acknowledged:
            return "acknowledged";
        case AlertStatus::investigating:
            return "investigating";
        case AlertStatus::resolved:
            return "resolved";
        case AlertStatus::false_positive:
            return "false_positive";
    }
    return "";
}

void Alert::setEvidence(std::string_view text) {
    copyBounded(evidence, evidence_len, text);
}
void Alert::setSourceIp(std::string_view text) {
    copyBounded(source_ip, source_ip_len, text);
}
void Alert::setDestIp(std::string_view text) {
    copyBounded(dest_ip, dest_ip_len, text);
}

void AlertManager::init() {
    next_id = 1;
}

static u64 idHash(u32 id) {
    return mixHash(id);
}

u32 AlertManager::createAlert(std::string_view title, std::string_view description,
                              AlertSeverity severity, f32 surprise_score, const u8 source_mac[6],
                              u32 collision_wave_count) {
    if (alert_count >= kMaxAlerts) {
        logError("alert_manager", "alert table full ({} alerts), cannot create alert", kMaxAlerts);
        return 0;
    }
    while (free_slot < kMaxAlerts && alerts[free_slot].active) ++free_slot;
    if (free_slot == kMaxAlerts) return 0;
    if (next_id == 0) next_id = 1;  // a store that skipped init() still starts at 1

    Alert& a = alerts[free_slot];
    a = Alert{};
    a.id = next_id;
    a.severity = severity;
    std::memcpy(a.source_mac, source_mac, 6);
    a.surprise_score = surprise_score;
    a.collision_wave_count = collision_wave_count;
    a.created_at = a.updated_at = wallSeconds();
    a.active = true;
    copyBounded(a.title, a.title_len, title);
    copyBounded(a.description, a.description_len, description);
    a.status = AlertStatus::new_;

    const u32 id = a.id;
    id_index.insert(idHash(id), free_slot, [&](u32 s) { return alerts[s].id == id; });
    ++alert_count;
    ++next_id;
    logInfo("alert_manager", "alert created: id={} severity={} title=\"{}\"", id,
            severityName(severity), a.getTitle());
    return id;
}

const Alert* AlertManager::getAlert(u32 id) const {
    if (id == 0) return nullptr;
    const u32 slot =
        id_index.find(idHash(id), [&](u32 s) { return alerts[s].active && alerts[s].id == id; });
    return slot == kNoSlot ? nullptr : &alerts[slot];
}

Alert* AlertManager::getAlert(u32 id) {
    return const_cast<Alert*>(std::as_const(*this).getAlert(id));
}

}  // namespace tarvex
