// manager.h: the alert store.
//
// AlertManager holds every alert raised during the run in one fixed table of
// 4096 records. Collision detection and CEF handling create alerts on the
// listener thread, the restore thread re-creates open alerts at start, and
// the HTTP handlers read them. Nothing is ever removed: once the table is
// full, creation fails until restart. Ids start at 1 and grow by one per
// alert; 0 means "no alert". An index keeps getAlert off a table scan.
//
// Valid when zero-filled once init() has run. Not synchronised: writers hold
// the engine state lock exclusively, readers hold it shared.
#pragma once

#include <string_view>

#include "common/slot_index.h"
#include "common/types.h"

namespace tarvex {

constexpr u32 kMaxAlerts = 4096;
constexpr u32 kAlertTitleCap = 128;
constexpr u32 kAlertDescriptionCap = 512;
constexpr u32 kAlertEvidenceCap = 2048;
constexpr u32 kAlertIpCap = 46;

enum class AlertSeverity : u8 { info = 0, low = 1, medium = 2, high = 3, critical = 4 };
enum class AlertStatus : u8 {
    new_ = 0,  // "new"
    acknowledged = 1,
    investigating = 2,
    resolved = 3,
    false_positive = 4,
};

// The lower-case names ("critical", "false_positive", "new"); "" if unknown.
std::string_view severityName(AlertSeverity s);
std::string_view statusName(AlertStatus s);

struct Alert {
    i64 created_at;
    i64 updated_at;
    u32 id;
    u32 related_node_ids[8];  // reserved; never filled
    f32 surprise_score;
    u32 collision_wave_count;
    u16 description_len;
    u16 evidence_len;
    char title[kAlertTitleCap];
    u8 title_len;
    char description[kAlertDescriptionCap];
    char evidence[kAlertEvidenceCap];
    AlertSeverity severity;
    AlertStatus status;
    u8 source_mac[6];
    char source_ip[kAlertIpCap];
    u8 source_ip_len;
    char dest_ip[kAlertIpCap];
    u8 dest_ip_len;
    u8 related_count;
    bool active;

    std::string_view getTitle() const { return {title, title_len}; }
    std::string_view getDescription() const { return {description, description_len}; }
    std::string_view getEvidence() const { return {evidence, evidence_len}; }
    std::string_view getSourceIp() const { return {source_ip, source_ip_len}; }
    std::string_view getDestIp() const { return {dest_ip, dest_ip_len}; }
    // Each stores at most its field's size; longer input is cut.
    void setEvidence(std::string_view text);
    void setSourceIp(std::string_view text);
    void setDestIp(std::string_view text);
};

struct AlertManager {
    Alert alerts[kMaxAlerts];
    u32 alert_count;
    u32 next_id;

    // Sets next_id to 1 on a zero-filled store.
    void init();
    // Stores a new alert (status new, times = now, texts cut to their fields)
    // and returns its id; 0 when the table is full (logged).
    u32 createAlert(std::string_view title, std::string_view description, AlertSeverity severity,
                    f32 surprise_score, const u8 source_mac[6], u32 collision_wave_count);
    // The active alert with this id, or nullptr.
    Alert* getAlert(u32 id);
    const Alert* getAlert(u32 id) const;

    // Index by id (private representation).
    SlotIndex<kMaxAlerts * 2> id_index;
    u32 free_slot;  // no inactive slot below this one
};

}  // namespace tarvex
