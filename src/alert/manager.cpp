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

std::optional<AlertStatus> parseStatus(std::string_view text) {
    for (u8 k = 0; k <= static_cast<u8>(AlertStatus::false_positive); ++k) {
        const auto st = static_cast<AlertStatus>(k);
        if (statusName(st) == text) return st;
    }
    return std::nullopt;
}

std::optional<AlertSeverity> parseSeverityName(std::string_view text) {
    for (u8 k = 0; k <= static_cast<u8>(AlertSeverity::critical); ++k) {
        const auto s = static_cast<AlertSeverity>(k);
        if (severityName(s) == text) return s;
    }
    return std::nullopt;
}

void AlertManager::init() {
    next_id = 1;
}

static u64 idHash(u32 id) {
    return mixHash(id);
}

// Lists hold slot + 1; these pick the list an alert belongs to.
void AlertManager::link(u32 slot) {
    Alert& a = alerts[slot];
    const bool closed = isClosedStatus(a.status);
    a.age_list = closed ? 2 : 1;
    u32& oldest = closed ? closed_oldest : open_oldest;
    u32& newest = closed ? closed_newest : open_newest;
    // New alerts carry the highest id and go to the newest end at once;
    // restored ones come newest first, each older than the list's oldest.
    // Only a triage move walks the list.
    u32 after = newest;  // the alert to link behind (0: at the oldest end)
    if (oldest && alerts[oldest - 1].id > a.id) {
        after = 0;
    } else {
        while (after != 0 && alerts[after - 1].id > a.id) after = alerts[after - 1].older;
    }
    a.older = after;
    a.newer = after ? alerts[after - 1].newer : oldest;
    if (a.older)
        alerts[a.older - 1].newer = slot + 1;
    else
        oldest = slot + 1;
    if (a.newer)
        alerts[a.newer - 1].older = slot + 1;
    else
        newest = slot + 1;
}

void AlertManager::unlink(u32 slot) {
    Alert& a = alerts[slot];
    if (a.age_list == 0) return;
    // The list it was linked in, whatever its status says now.
    const bool closed = a.age_list == 2;
    u32& oldest = closed ? closed_oldest : open_oldest;
    u32& newest = closed ? closed_newest : open_newest;
    if (a.older)
        alerts[a.older - 1].newer = a.newer;
    else
        oldest = a.newer;
    if (a.newer)
        alerts[a.newer - 1].older = a.older;
    else
        newest = a.older;
    a.older = a.newer = 0;
    a.age_list = 0;
}

u32 AlertManager::reusableSlot() const {
    if (closed_oldest) return closed_oldest - 1;
    if (open_oldest) return open_oldest - 1;
    return kNoSlot;
}

// A free slot, or the slot of the alert to give up when the table is full.
u32 AlertManager::takeSlot() {
    if (alert_count < kMaxAlerts) {
        while (free_slot < kMaxAlerts && alerts[free_slot].active) ++free_slot;
        if (free_slot < kMaxAlerts) {
            ++alert_count;
            return free_slot;
        }
    }
    const u32 slot = reusableSlot();
    if (slot == kNoSlot) return kNoSlot;
    Alert& old = alerts[slot];
    static LogLimit limit;
    logLimited(limit, LogLevel::warning, "alert_manager",
               "alert table full ({} alerts), alert {} ({}) makes room for a new one", kMaxAlerts,
               old.id, statusName(old.status));
    unlink(slot);
    id_index.erase(idHash(old.id), slot, [&](u32 s) { return idHash(alerts[s].id); });
    ++evicted;
    return slot;
}

void AlertManager::fill(u32 slot, u32 id, i64 created_at, std::string_view title,
                        std::string_view description, AlertSeverity severity, f32 surprise_score,
                        const u8 source_mac[6], u32 collision_wave_count) {
    Alert& a = alerts[slot];
    a = Alert{};
    a.id = id;
    a.severity = severity;
    std::memcpy(a.source_mac, source_mac, 6);
    a.surprise_score = surprise_score;
    a.collision_wave_count = collision_wave_count;
    a.created_at = a.updated_at = created_at;
    a.active = true;
    copyBounded(a.title, a.title_len, title);
    copyBounded(a.description, a.description_len, description);
    a.status = AlertStatus::new_;
    link(slot);
    id_index.insert(idHash(id), slot, [&](u32 s) { return alerts[s].id == id; });
}

u32 AlertManager::createAlert(std::string_view title, std::string_view description,
                              AlertSeverity severity, f32 surprise_score, const u8 source_mac[6],
                              u32 collision_wave_count) {
    if (next_id == 0) next_id = 1;  // a store that skipped init() still starts at 1
    const u32 slot = takeSlot();
    if (slot == kNoSlot) return 0;
    const u32 id = next_id++;
    fill(slot, id, wallSeconds(), title, description, severity, surprise_score, source_mac,
         collision_wave_count);
    logInfo("alert_manager", "alert created: id={} severity={} title=\"{}\"", id,
            severityName(severity), alerts[slot].getTitle());
    return id;
}

u32 AlertManager::restoreAlert(u32 id, i64 created_at, std::string_view title,
                               std::string_view description, AlertSeverity severity,
                               f32 surprise_score, const u8 source_mac[6],
                               u32 collision_wave_count) {
    if (id == 0 || getAlert(id)) return 0;
    if (alert_count >= kMaxAlerts) {
        static LogLimit limit;
        logLimited(limit, LogLevel::error, "alert_manager",
                   "alert table full ({} alerts), cannot create alert", kMaxAlerts);
        return 0;
    }
    const u32 slot = takeSlot();
    if (slot == kNoSlot) return 0;
    if (next_id <= id) next_id = id == 0xFFFFFFFFu ? id : id + 1;
    fill(slot, id, created_at, title, description, severity, surprise_score, source_mac,
         collision_wave_count);
    return id;
}

Alert* AlertManager::setStatus(u32 id, AlertStatus status, std::string_view note, i64 at) {
    Alert* a = getAlert(id);
    if (!a) return nullptr;
    const u32 slot = static_cast<u32>(a - alerts);
    unlink(slot);
    a->status = status;
    link(slot);
    copyBounded(a->note, a->note_len, note);
    a->status_changed_at = a->updated_at = at;
    return a;
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
