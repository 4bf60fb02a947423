// manager.h: the alert store.
//
// AlertManager holds the alerts of the run in one fixed table of 4096
// records. Collision detection, CEF handling and the new-device check create
// alerts on the listener thread, the restore thread brings back open alerts
// at start, the triage endpoint changes their status, and the HTTP handlers
// read them. When the table is full a new alert takes the slot of the oldest
// closed alert (resolved or false positive), else of the oldest alert: a
// new threat is never refused. Slots stay active once used, so scans bounded
// by alert_count stay correct. Ids start at 1 and keep growing; 0 means "no
// alert". An index keeps getAlert off a table scan, and two lists in order
// of age (open and closed) find the slot to reuse without one.
//
// Valid when zero-filled once init() has run. Not synchronised: writers hold
// the engine state lock exclusively, readers hold it shared.
#pragma once

#include <optional>
#include <string_view>

#include "common/slot_index.h"
#include "common/types.h"

namespace tarvex {

constexpr u32 kMaxAlerts = 4096;
constexpr u32 kAlertTitleCap = 128;
constexpr u32 kAlertDescriptionCap = 512;
constexpr u32 kAlertEvidenceCap = 2048;
constexpr u32 kAlertIpCap = 46;
constexpr u32 kAlertNoteCap = 256;

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
// The severity named by its lower-case text, or nothing.
std::optional<AlertSeverity> parseSeverityName(std::string_view text);
// The status named by its lower-case text, or nothing.
std::optional<AlertStatus> parseStatus(std::string_view text);
// Resolved and false-positive alerts are closed; the others are open.
constexpr bool isClosedStatus(AlertStatus s) {
    return s == AlertStatus::resolved || s == AlertStatus::false_positive;
}

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
    // Triage: the note given with the last status change, and its time (0
    // while the status is the one the alert was created with).
    i64 status_changed_at;
    u16 note_len;
    char note[kAlertNoteCap];
    // Age order (private to AlertManager): slot + 1 of the next older and
    // next newer alert in the same list, 0 at either end.
    u32 older;
    u32 newer;
    u8 age_list;  // the list the alert is linked in: 0 none, 1 open, 2 closed

    std::string_view getTitle() const { return {title, title_len}; }
    std::string_view getDescription() const { return {description, description_len}; }
    std::string_view getEvidence() const { return {evidence, evidence_len}; }
    std::string_view getSourceIp() const { return {source_ip, source_ip_len}; }
    std::string_view getDestIp() const { return {dest_ip, dest_ip_len}; }
    std::string_view getNote() const { return {note, note_len}; }
    // Each stores at most its field's size; longer input is cut.
    void setEvidence(std::string_view text);
    void setSourceIp(std::string_view text);
    void setDestIp(std::string_view text);
};

struct AlertManager {
    Alert alerts[kMaxAlerts];
    u32 alert_count;  // slots in use, at most kMaxAlerts
    u32 next_id;
    u64 evicted;  // alerts whose slot a newer one took

    // Sets next_id to 1 on a zero-filled store.
    void init();
    // Stores a new alert (status new, times = now, texts cut to their fields)
    // and returns its id. A full table gives up the slot of its oldest closed
    // alert, else of its oldest alert (a rate-limited warning says which).
    u32 createAlert(std::string_view title, std::string_view description, AlertSeverity severity,
                    f32 surprise_score, const u8 source_mac[6], u32 collision_wave_count);
    // Brings back an alert of an earlier run under its own id and creation
    // time (status new; the caller applies the rest). 0 when the id is 0 or
    // held already, or the table is full: a restored alert never displaces
    // one of this run. next_id moves past the id.
    u32 restoreAlert(u32 id, i64 created_at, std::string_view title, std::string_view description,
                     AlertSeverity severity, f32 surprise_score, const u8 source_mac[6],
                     u32 collision_wave_count);
    // Triage: sets the status, keeps the note (cut to 256 bytes) and the time
    // of the change. The alert, or nullptr for an unknown id.
    Alert* setStatus(u32 id, AlertStatus status, std::string_view note, i64 at);
    // The active alert with this id, or nullptr.
    Alert* getAlert(u32 id);
    const Alert* getAlert(u32 id) const;
    // The slot a new alert would take when the table is full: the oldest
    // closed alert's, else the oldest alert's; kNoSlot while the table is
    // empty.
    u32 reusableSlot() const;

    // Private representation: the index by id, the first slot never used,
    // and the open and closed alerts in order of age (ascending id), each
    // list as slot + 1 of its oldest and newest alert, 0 when empty.
    SlotIndex<kMaxAlerts * 2> id_index;
    u32 free_slot;  // no inactive slot below this one
    u32 open_oldest, open_newest;
    u32 closed_oldest, closed_newest;

  private:
    u32 takeSlot();
    void fill(u32 slot, u32 id, i64 created_at, std::string_view title,
              std::string_view description, AlertSeverity severity, f32 surprise_score,
              const u8 source_mac[6], u32 collision_wave_count);
    void link(u32 slot);
    void unlink(u32 slot);
};

}  // namespace tarvex
