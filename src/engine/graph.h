// graph.h: the entity graph of devices, addresses, names and services.
//
// Graph holds every entity the daemon has seen (a Node, identified by its
// name and NodeType; the same text under two types is two nodes) and the
// directed, typed, weighted relations between them (an Edge; at most one per
// source, target and EdgeType). Both live in fixed tables taken first-free in
// slot order; a node's id is its slot. Nothing is removed during a run.
//
// Every query answers exactly what a scan of the tables in slot order would,
// but through indexes kept beside the tables and updated by every adding
// operation: nodes by (name, type) to their lowest slot, edges by (source,
// target, type), and per-node outgoing and incoming edge lists in slot order
// with a degree count. Only the operations below may change a slot's key
// fields (name, type, source, target, edge type, active); other fields
// (weight, counters, activation, times) may be written through the
// references the lookups return.
//
// Valid when zero-filled (created once with mapZeroed). Not synchronised:
// the listener and restore threads write it under the engine state lock held
// exclusively; HTTP readers hold it shared.
#pragma once

#include <optional>
#include <string_view>

#include "common/slot_index.h"
#include "common/types.h"

namespace tarvex {

constexpr u32 kMaxNodes = 16384;
constexpr u32 kMaxEdges = 131072;
constexpr u32 kMaxNeighbors = 64;
constexpr u32 kNameCap = 64;

enum class NodeType : u8 {
    device = 0,
    ip_address = 1,
    dns_name = 2,
    service = 3,
    user = 4,
    network = 5,
    alert = 6,
};

enum class EdgeType : u8 {
    communicates_with = 0,
    resolves_to = 1,
    similar_behavior = 2,
    same_network = 3,
    assigned_to = 4,
    triggered_on = 5,
    causal_sequence = 6,
    anomaly_correlated = 7,
};

// The enumerator name ("ip_address", "assigned_to"); "" for unknown values.
std::string_view nodeTypeName(NodeType t);
std::string_view edgeTypeName(EdgeType t);

// A node's key text: up to 64 bytes, zero-padded.
struct Name {
    char data[kNameCap];
    u8 len;

    // Copies at most 64 bytes and zero-fills the rest.
    static Name fromSlice(std::string_view bytes);
    // Lengths first, then bytes.
    static bool eql(const Name& n, std::string_view bytes) {
        return n.len == bytes.size() && std::string_view(n.data, n.len) == bytes;
    }
    std::string_view slice() const { return {data, len}; }
};

struct Node {
    i64 last_activated;  // wall-clock seconds of the last bumpAccess; 0 = never
    u32 id;              // own slot index
    f32 activation;      // restored from and written to the database only
    u32 access_count;    // bumpAccess calls, saturating
    Name name;
    NodeType node_type;
    bool active;
};

struct Edge {
    u32 source;
    u32 target;
    f32 weight;
    u16 reinforcement_count;  // saturating at 65535
    EdgeType edge_type;
    bool active;
};

struct Neighbor {
    u32 node_id;
    f32 weight;
    EdgeType edge_type;
    Name name;
};

struct Graph {
    Node nodes[kMaxNodes];
    Edge edges[kMaxEdges];
    u32 node_count;  // nodes added
    u32 edge_count;  // edges created

    // Lowest node id holding (name, type), or nullptr.
    Node* findNode(std::string_view name, NodeType type);
    const Node* findNode(std::string_view name, NodeType type) const;
    // Adds a node in the lowest free slot (no duplicate check) and returns its
    // id; nothing when the name is empty or longer than 64 bytes or the table
    // is full (each logged).
    std::optional<u32> addNode(std::string_view name, NodeType type);
    // Creates the edge, or reinforces an existing one (weight + 0.1 x new,
    // capped at 1.0). False for out-of-range ids (silently), inactive
    // endpoints or a full table (logged).
    bool addEdge(u32 source, u32 target, EdgeType type, f32 weight);
    // The active edge (source, target, type), or nullptr.
    Edge* findEdge(u32 source, u32 target, EdgeType type);
    const Edge* findEdge(u32 source, u32 target, EdgeType type) const;
    // The active node with this id, or nullptr.
    Node* getNode(u32 id);
    const Node* getNode(u32 id) const;
    // Counts one access (saturating) and stamps `now`; no-op for unknown ids.
    void bumpAccess(u32 id, i64 now);
    // Up to 64 neighbours over edges of weight >= min_weight touching the
    // node either way, in edge-slot order; a self-loop yields the node once.
    u32 getNeighbors(u32 id, f32 min_weight, Neighbor (&out)[kMaxNeighbors]) const;
    // As getNeighbors, over outgoing edges only.
    u32 getForwardNeighbors(u32 id, f32 min_weight, Neighbor (&out)[kMaxNeighbors]) const;
    // Active edges with the node as source or target, whatever their weight.
    u32 nodeDegree(u32 id) const;
    // Calls f(edge) for each active edge leaving (entering) the node, in slot
    // order, until f returns false; nothing for an out-of-range id.
    template <class F>
    void forEachOutEdge(u32 id, F&& f) const {
        if (id >= kMaxNodes) return;
        for (u32 c = out_head[id]; c != 0; c = next_out[c - 1])
            if (edges[c - 1].active && !f(edges[c - 1])) return;
    }
    template <class F>
    void forEachInEdge(u32 id, F&& f) const {
        if (id >= kMaxNodes) return;
        for (u32 c = in_head[id]; c != 0; c = next_in[c - 1])
            if (edges[c - 1].active && !f(edges[c - 1])) return;
    }

    // Indexes (private representation). Edge lists hold slot + 1, 0 ends a
    // list; `degree` counts each incident edge once (a self-loop once).
    SlotIndex<kMaxNodes * 2> node_index;
    SlotIndex<kMaxEdges * 2> edge_index;
    u32 out_head[kMaxNodes];
    u32 out_tail[kMaxNodes];
    u32 in_head[kMaxNodes];
    u32 in_tail[kMaxNodes];
    u32 degree[kMaxNodes];
    u32 next_out[kMaxEdges];
    u32 next_in[kMaxEdges];
    u32 node_free;  // no inactive node slot below this one
    u32 edge_free;  // no inactive edge slot below this one

  private:
    template <bool kForwardOnly>
    u32 collectNeighbors(u32 id, f32 min_weight, Neighbor (&out)[kMaxNeighbors]) const;
    void linkEdge(u32 slot);
};

}  // namespace tarvex
