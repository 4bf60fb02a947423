// activation.h: spreading activation over the entity graph.
//
// ActivationMap keeps, for up to 512 graph nodes, the activation level that
// numbered waves have pushed onto them (capped at 2.0) and which of the
// first 32 waves reached them. spread() starts one wave at a seed node and
// pushes a decaying level along outgoing edges for at most three levels.
// Entries are taken first-free and kept for the run (nothing decays); an
// index by node id keeps activate() off a scan of the entries.
//
// Valid when zero-filled. Written only by the listener thread under the
// engine state lock held exclusively; readers hold it shared.
#pragma once

#include "common/slot_index.h"
#include "common/types.h"
#include "engine/graph.h"

namespace tarvex {

constexpr u32 kMaxActivations = 512;
constexpr f32 kMaxActivation = 2.0f;
constexpr f32 kMinActivation = 0.02f;
constexpr f32 kMinSpreadWeight = 0.05f;
constexpr u32 kMaxFrontier = 256;
constexpr u32 kSpreadLevels = 3;

enum class StreamType : u8 {
    sensory = 0,
    alert = 1,
    correlation = 2,
    exploratory = 3,
    memory = 4,
    system = 5
};

struct ActivationEntry {
    u32 node_id;
    f32 activation;  // 0.02 .. 2.0
    u32 wave_mask;   // bit w: wave w (w < 32) reached the node
    u32 last_active_cycle;
    bool active;
    u8 stream_mask;  // one bit per StreamType
};

struct SpreadStats {
    u32 seeds;
    u32 nodes_activated;
    u32 edges_traversed;
    u32 wave_id;
    u8 depth_reached;
};

struct ActivationMap {
    ActivationEntry entries[kMaxActivations];
    u32 active_count;
    u32 wave_counter;  // waves started; the next wave's id

    // Adds `level` (capped at 2.0) to the node's entry, creating it in the
    // lowest free entry; logs and changes nothing when all are in use.
    void activate(u32 node_id, u32 wave_id, f32 level);
    // The active entry of the node, or nullptr.
    ActivationEntry* find(u32 node_id);
    const ActivationEntry* find(u32 node_id) const;
    // Starts a wave: returns its id and advances the counter.
    u32 newWave() { return wave_counter++; }

    // Private representation.
    SlotIndex<kMaxActivations * 2> node_index;
    u32 free_entry;  // no inactive entry below this one
};

// Runs one wave from `seed` over the graph's outgoing edges.
SpreadStats spread(const Graph& graph, ActivationMap& map, u32 seed);

}  // namespace tarvex
