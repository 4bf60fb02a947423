// db_records.h: the records the listener hands to the database writer.
//
// DeviceRow and AlertRow are filled by the listener (the device state step,
// CEF handling and the new-device check), AlertStatusRow by the triage
// endpoint; each is copied whole into the write queue by the submit* calls of
// Persistence; the persistence thread reads its own copies. GraphSnapshot is
// the copy of the entity graph the listener takes under the state lock
// (Persistence::submitGraph) and the persistence thread writes without it;
// Persistence guards which of its two snapshots each side may touch.
//
// Plain data, no allocation: every text is a fixed array with its length.
#pragma once

#include <cstring>
#include <string_view>

#include "alert/manager.h"
#include "common/text.h"
#include "common/types.h"
#include "engine/fingerprint.h"
#include "engine/graph.h"

namespace tarvex {

// One device row as the device state step writes it.
// `user_known` false leaves the stored override alone (the record has not
// heard the database's word on it yet); true writes the user's name and kind
// as they are, empty ones clearing them.
struct DeviceRow {
    u8 mac[6];
    f32 confidence;
    u32 signal_count;
    char label[64];
    u8 label_len;
    u8 hostname_len;
    u8 vendor_len;
    u8 user_name_len;
    u8 user_kind_len;
    bool user_known;
    char hostname[64];
    char vendor[64];
    char user_name[64];
    char user_kind[32];

    std::string_view getLabel() const { return {label, label_len}; }
    std::string_view getHostname() const { return {hostname, hostname_len}; }
    std::string_view getVendor() const { return {vendor, vendor_len}; }
    std::string_view getUserName() const { return {user_name, user_name_len}; }
    std::string_view getUserKind() const { return {user_kind, user_kind_len}; }

    // The row of a device record (label as given).
    static DeviceRow of(const DeviceFingerprint& d, std::string_view label) {
        DeviceRow row{};
        std::memcpy(row.mac, d.mac, 6);
        row.confidence = d.confidence;
        row.signal_count = d.signal_count;
        copyBounded(row.label, row.label_len, label);
        copyBounded(row.hostname, row.hostname_len, d.getHostname());
        copyBounded(row.vendor, row.vendor_len, d.getVendor());
        row.user_known = d.user_known;
        copyBounded(row.user_name, row.user_name_len, d.getUserName());
        copyBounded(row.user_kind, row.user_kind_len, d.getUserKind());
        return row;
    }
};

// One alert row as CEF handling writes it (texts sized as in the alert store).
// `alert_id` is the daemon's id of the alert: the row's link to the alert in
// memory, kept across restarts.
struct AlertRow {
    char title[kAlertTitleCap];
    u8 title_len;
    u16 description_len;
    u16 evidence_len;
    char description[kAlertDescriptionCap];
    char evidence[kAlertEvidenceCap];
    AlertSeverity severity;
    u8 source_mac[6];
    f32 surprise_score;
    char source_ip[kAlertIpCap];
    u8 source_ip_len;
    char dest_ip[kAlertIpCap];
    u8 dest_ip_len;
    u32 alert_id;
    u32 collision_wave_count;

    // The row of a stored alert.
    static AlertRow fromAlert(const Alert& a);
};

// A triage change of one alert, found by the daemon's alert id.
struct AlertStatusRow {
    i64 changed_at;
    u32 alert_id;
    AlertStatus status;
    u16 note_len;
    char note[kAlertNoteCap];

    std::string_view getNote() const { return {note, note_len}; }
    // The change as it stands in the stored alert.
    static AlertStatusRow fromAlert(const Alert& a);
};

// A copy of the graph's active nodes and edges, taken under the state lock
// and written without it. Nodes keep their slots so edges can name them.
struct GraphSnapshot {
    struct NodeRow {
        i64 last_activated;
        f32 activation;
        u32 access_count;
        Name name;
        NodeType node_type;
        bool present;  // active with a non-empty name
    };
    struct EdgeRow {
        u32 source;
        u32 target;
        f32 weight;
        u16 reinforcement_count;
        EdgeType edge_type;
    };
    NodeRow nodes[kMaxNodes];
    EdgeRow edges[kMaxEdges];
    u32 edge_rows;
    u32 node_slots;  // node rows filled by the last take; those past it are absent

    // Copies `g` (the caller holds the state lock at least shared).
    void take(const Graph& g);
};

}  // namespace tarvex
