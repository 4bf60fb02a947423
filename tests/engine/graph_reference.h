// graph_reference.h: a plain slot-scanning entity graph for cross-checking.
//
// ScanGraph answers every query the way the graph's rules state it: by
// scanning its own node and edge tables in slot order, with no index at all.
// It keeps its own storage (nothing shared with Graph) and stops scanning at
// the high-water mark of each table, since slots are taken first-free and
// never released. Used by the differential tests and, as the baseline, by
// the benchmarks. Test-only code.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include "engine/graph.h"

namespace tarvex::test {

struct ScanNeighbor {
    u32 node_id;
    f32 weight;
    EdgeType edge_type;
    std::string_view name;
};

// The first i < n with keys[i] == key, or n: a slot-order scan done in
// blocks, each first tested as a whole (a loop the compiler vectorises) and
// searched only when it holds the key. ThreadSanitizer builds keep one plain
// version (an instrumented clone picker crashes the process at load).
#if defined(__SANITIZE_THREAD__)
#define TARVEX_AVX2_CLONES
#else
#define TARVEX_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#endif
TARVEX_AVX2_CLONES inline u32 firstEqual(const u32* keys, u32 n, u32 key) {
    constexpr u32 kBlock = 256;
    u32 base = 0;
    for (; base + kBlock <= n; base += kBlock) {
        u32 any = 0;
        for (u32 i = 0; i < kBlock; ++i) any |= keys[base + i] == key;
        if (!any) continue;
        for (u32 i = base; i < base + kBlock; ++i)
            if (keys[i] == key) return i;
    }
    for (; base < n; ++base)
        if (keys[base] == key) return base;
    return n;
}

class ScanGraph {
  public:
    struct N {
        char name[kNameCap];
        u8 len;
        NodeType type;
        bool active;
        u32 access_count;
        i64 last_activated;
        std::string_view view() const { return {name, len}; }
    };

    ScanGraph()
        : nodes_(new N[kMaxNodes]()),
          keys_(new u32[kMaxEdges]()),
          weights_(new f32[kMaxEdges]()),
          reinforcements_(new u16[kMaxEdges]()) {}

    u32 nodeCount() const { return node_count_; }
    u32 edgeCount() const { return edge_count_; }
    const N& node(u32 slot) const { return nodes_[slot]; }

    std::optional<u32> findNode(std::string_view name, NodeType type) const {
        for (u32 i = 0; i < node_hwm_; ++i) {
            const N& n = nodes_[i];
            if (n.active && n.type == type && n.len == name.size() &&
                std::memcmp(n.name, name.data(), name.size()) == 0)
                return i;
        }
        return std::nullopt;
    }

    // Returns the id, or nothing; `why` says which failure message applies.
    enum class Refusal { none, bad_length, full };
    std::optional<u32> addNode(std::string_view name, NodeType type, Refusal* why = nullptr) {
        if (why) *why = Refusal::none;
        if (name.empty() || name.size() > kNameCap) {
            if (why) *why = Refusal::bad_length;
            return std::nullopt;
        }
        // Slots are never released, so every slot below the mark is in use
        // and the mark is the lowest free one.
        const u32 slot = node_hwm_;
        if (slot == kMaxNodes) {
            if (why) *why = Refusal::full;
            return std::nullopt;
        }
        N& n = nodes_[slot];
        n = N{};
        std::memcpy(n.name, name.data(), name.size());
        n.len = static_cast<u8>(name.size());
        n.type = type;
        n.active = true;
        node_hwm_ = slot + 1;
        ++node_count_;
        return slot;
    }

    enum class EdgeResult { created, reinforced, out_of_range, inactive, full };
    // `slot_out`, when given, receives the created or reinforced slot.
    EdgeResult addEdge(u32 source, u32 target, EdgeType type, f32 weight, u32* slot_out = nullptr) {
        if (source >= kMaxNodes || target >= kMaxNodes) return EdgeResult::out_of_range;
        if (!nodes_[source].active || !nodes_[target].active) return EdgeResult::inactive;
        const u32 key = pack(source, target, type);
        const std::optional<u32> found = scanFor(key);
        if (found) {
            weights_[*found] = std::min(weights_[*found] + 0.1f * weight, 1.0f);
            if (reinforcements_[*found] < 65535) ++reinforcements_[*found];
            if (slot_out) *slot_out = *found;
            return EdgeResult::reinforced;
        }
        const u32 slot = edge_hwm_;  // lowest free slot, as for nodes
        if (slot == kMaxEdges) return EdgeResult::full;
        keys_[slot] = key;
        weights_[slot] = weight;
        reinforcements_[slot] = 0;
        edge_hwm_ = slot + 1;
        ++edge_count_;
        if (slot_out) *slot_out = slot;
        return EdgeResult::created;
    }

    // Stores an edge in the next slot without looking for an equal one: for
    // building large fixtures whose edges are distinct by construction.
    void loadEdge(u32 source, u32 target, EdgeType type, f32 weight) {
        keys_[edge_hwm_] = pack(source, target, type);
        weights_[edge_hwm_] = weight;
        reinforcements_[edge_hwm_] = 0;
        ++edge_hwm_;
        ++edge_count_;
    }

    // The slot of the active edge, or nothing.
    std::optional<u32> findEdge(u32 source, u32 target, EdgeType type) const {
        if (source >= kMaxNodes || target >= kMaxNodes) return std::nullopt;
        return scanFor(pack(source, target, type));
    }
    f32 weight(u32 slot) const { return weights_[slot]; }
    u16 reinforcements(u32 slot) const { return reinforcements_[slot]; }
    u32 source(u32 slot) const { return keys_[slot] & 0x3FFF; }
    u32 target(u32 slot) const { return (keys_[slot] >> 14) & 0x3FFF; }
    EdgeType edgeType(u32 slot) const { return static_cast<EdgeType>((keys_[slot] >> 28) & 0x7); }
    bool edgeActive(u32 slot) const { return keys_[slot] != 0; }

    void bumpAccess(u32 id, i64 now) {
        if (id >= kMaxNodes || !nodes_[id].active) return;
        if (nodes_[id].access_count != 0xFFFFFFFFu) ++nodes_[id].access_count;
        nodes_[id].last_activated = now;
    }

    u32 getNeighbors(u32 id, f32 min_weight, ScanNeighbor (&out)[kMaxNeighbors],
                     bool forward_only = false) const {
        u32 count = 0;
        for (u32 i = 0; i < edge_hwm_ && count < kMaxNeighbors; ++i) {
            if (keys_[i] == 0 || weights_[i] < min_weight) continue;
            u32 other;
            if (source(i) == id) {
                other = target(i);
            } else if (!forward_only && target(i) == id) {
                other = source(i);
            } else {
                continue;
            }
            if (other >= kMaxNodes || !nodes_[other].active) continue;
            out[count++] = ScanNeighbor{other, weights_[i], edgeType(i), nodes_[other].view()};
        }
        return count;
    }

    u32 nodeDegree(u32 id) const {
        if (id >= kMaxNodes || !nodes_[id].active) return 0;
        u32 d = 0;
        for (u32 i = 0; i < edge_hwm_; ++i)
            if (keys_[i] != 0 && (source(i) == id || target(i) == id)) ++d;
        return d;
    }

  private:
    // Ids are below 16384 (14 bits) and types below 8 (3 bits) once the
    // range checks have passed; the top bit marks the slot in use.
    static u32 pack(u32 source, u32 target, EdgeType type) {
        return u32{1} << 31 | static_cast<u32>(type) << 28 | target << 14 | source;
    }
    std::optional<u32> scanFor(u32 key) const {
        const u32 slot = firstEqual(keys_.get(), edge_hwm_, key);
        if (slot == edge_hwm_) return std::nullopt;
        return slot;
    }

    std::unique_ptr<N[]> nodes_;
    std::unique_ptr<u32[]> keys_;  // active bit | type | target | source
    std::unique_ptr<f32[]> weights_;
    std::unique_ptr<u16[]> reinforcements_;
    u32 node_hwm_ = 0;
    u32 edge_hwm_ = 0;
    u32 node_count_ = 0;
    u32 edge_count_ = 0;
};

}  // namespace tarvex::test
