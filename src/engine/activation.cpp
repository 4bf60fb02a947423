// activation.cpp: the activation map and wave spreading.
#include "engine/activation.h"

#include <algorithm>
#include <utility>

#include "common/log.h"

namespace tarvex {

const ActivationEntry* ActivationMap::find(u32 node_id) const {
    const u32 slot = node_index.find(mixHash(node_id), [&](u32 s) {
        return entries[s].active && entries[s].node_id == node_id;
    });
    return slot == kNoSlot ? nullptr : &entries[slot];
}

ActivationEntry* ActivationMap::find(u32 node_id) {
    return const_cast<ActivationEntry*>(std::as_const(*this).find(node_id));
}

void ActivationMap::activate(u32 node_id, u32 wave_id, f32 level) {
    level = std::min(level, kMaxActivation);
    const u32 wave_bit = wave_id < 32 ? u32{1} << wave_id : 0;
    if (ActivationEntry* e = find(node_id)) {
        e->activation = std::min(e->activation + level, kMaxActivation);
        e->wave_mask |= wave_bit;
        e->last_active_cycle = wave_counter;
        return;
    }
    while (free_entry < kMaxActivations && entries[free_entry].active) ++free_entry;
    if (free_entry == kMaxActivations) {
        static LogLimit limit;
        logWarnLimited(limit, "activation", "activate: no free slot for node {} (active_count={})",
                       node_id, active_count);
        return;
    }
    const u32 slot = free_entry;
    entries[slot] = ActivationEntry{node_id, level, wave_bit, wave_counter, true, 0};
    ++active_count;
    node_index.insert(mixHash(node_id), slot,
                      [&](u32 s) { return entries[s].active && entries[s].node_id == node_id; });
}

SpreadStats spread(const Graph& graph, ActivationMap& map, u32 seed) {
    SpreadStats st{};
    st.seeds = 1;
    st.wave_id = map.newWave();
    if (!graph.getNode(seed)) return st;

    map.activate(seed, st.wave_id, 1.0f);
    st.nodes_activated = 1;

    static constexpr f32 kDecay[kSpreadLevels] = {0.6f, 0.36f, 0.216f};
    u32 frontier[kMaxFrontier];
    u32 next[kMaxFrontier];
    u32 frontier_len = 1;
    frontier[0] = seed;
    Neighbor nbs[kMaxNeighbors];

    for (u32 d = 0; d < kSpreadLevels; ++d) {
        u32 next_len = 0;
        for (u32 f = 0; f < frontier_len; ++f) {
            const u32 n = frontier[f];
            const ActivationEntry* e = map.find(n);
            if (!e) continue;
            const f32 a = e->activation;
            if (a < kMinActivation || !graph.getNode(n)) continue;
            const u32 count = graph.getForwardNeighbors(n, kMinSpreadWeight, nbs);
            st.edges_traversed += count;
            for (u32 i = 0; i < count; ++i) {
                const f32 level = kDecay[d] * (nbs[i].weight * a);
                if (level < kMinActivation) continue;
                map.activate(nbs[i].node_id, st.wave_id, std::min(level, kMaxActivation));
                ++st.nodes_activated;
                const u32 m = nbs[i].node_id;
                if (next_len < kMaxFrontier &&
                    std::find(next, next + next_len, m) == next + next_len)
                    next[next_len++] = m;
            }
        }
        st.depth_reached = static_cast<u8>(d + 1);
        if (next_len == 0) break;
        std::copy(next, next + next_len, frontier);
        frontier_len = next_len;
    }
    return st;
}

}  // namespace tarvex
