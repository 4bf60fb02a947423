// db_records.cpp: filling the records of the write path from the stores.
#include "storage/db_records.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "storage/persistence_batch.h"

namespace tarvex {

AlertRow AlertRow::fromAlert(const Alert& a) {
    AlertRow r;
    std::memset(&r, 0, sizeof r);
    copyStorable(r.title, r.title_len, a.getTitle());
    copyStorable(r.description, r.description_len, a.getDescription());
    copyStorable(r.evidence, r.evidence_len, a.getEvidence());
    r.severity = a.severity;
    std::memcpy(r.source_mac, a.source_mac, 6);
    r.surprise_score = a.surprise_score;
    copyStorable(r.source_ip, r.source_ip_len, a.getSourceIp());
    copyStorable(r.dest_ip, r.dest_ip_len, a.getDestIp());
    r.alert_id = a.id;
    r.collision_wave_count = a.collision_wave_count;
    return r;
}

AlertStatusRow AlertStatusRow::fromAlert(const Alert& a) {
    AlertStatusRow r;
    std::memset(&r, 0, sizeof r);
    r.changed_at = a.status_changed_at;
    r.alert_id = a.id;
    r.status = a.status;
    copyStorable(r.note, r.note_len, a.getNote());
    return r;
}

void GraphSnapshot::take(const Graph& g) {
    // Slots are never freed: past the slot that holds the last of the
    // graph's nodes (edges) there is nothing to copy.
    u32 i = 0;
    for (u32 seen = 0; i < kMaxNodes && seen < g.node_count; ++i) {
        const Node& n = g.nodes[i];
        NodeRow& r = nodes[i];
        if (n.active) ++seen;
        r.present = n.active && n.name.len > 0;
        if (!r.present) continue;
        r.last_activated = n.last_activated;
        r.activation = n.activation;
        r.access_count = n.access_count;
        r.node_type = n.node_type;
        r.name = n.name;
        makeStorableText(std::span<char>(r.name.data, std::min<size_t>(r.name.len, kNameCap)));
    }
    for (u32 k = i; k < node_slots; ++k) nodes[k].present = false;
    node_slots = i;
    edge_rows = 0;
    for (u32 j = 0, seen = 0; j < kMaxEdges && seen < g.edge_count; ++j) {
        const Edge& e = g.edges[j];
        if (e.active) ++seen;
        if (!e.active || e.source >= kMaxNodes || e.target >= kMaxNodes) continue;
        if (!nodes[e.source].present || !nodes[e.target].present) continue;
        edges[edge_rows++] =
            EdgeRow{e.source, e.target, e.weight, e.reinforcement_count, e.edge_type};
    }
}

}  // namespace tarvex
