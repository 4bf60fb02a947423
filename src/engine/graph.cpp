// graph.cpp: node and edge tables with their lookup indexes.
#include "engine/graph.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/log.h"

namespace tarvex {

namespace {

u64 nodeKeyHash(std::string_view name, NodeType type) {
    u64 h = 0x243F6A8885A308D3ull ^ (static_cast<u64>(type) << 56) ^ name.size();
    size_t i = 0;
    for (; i + 8 <= name.size(); i += 8) {
        u64 chunk;
        std::memcpy(&chunk, name.data() + i, 8);
        h = mixHash(h ^ chunk);
    }
    if (i < name.size()) {
        u64 chunk = 0;
        std::memcpy(&chunk, name.data() + i, name.size() - i);
        h = mixHash(h ^ chunk);
    }
    return mixHash(h);
}

u64 edgeKeyHash(u32 source, u32 target, EdgeType type) {
    return mixHash((static_cast<u64>(source) << 32 | target) ^
                   (static_cast<u64>(type) + 1) * 0x9E3779B97F4A7C15ull);
}

}  // namespace

std::string_view nodeTypeName(NodeType t) {
    switch (t) {
        case NodeType::device:
            return "device";
        case NodeType::ip_address:
            return "ip_address";
        case NodeType::dns_name:
            return "dns_name";
        case NodeType::service:
            return "service";
        case NodeType::user:
            return "user";
        case NodeType::network:
            return "network";
        case NodeType::alert:
            return "alert";
    }
    return "";
}

std::string_view edgeTypeName(EdgeType t) {
    switch (t) {
        case EdgeType::communicates_with:
            return "communicates_with";
        case EdgeType::resolves_to:
            return "resolves_to";
        case EdgeType::similar_behavior:
            return "similar_behavior";
        case EdgeType::same_network:
            return "same_network";
        case EdgeType::assigned_to:
            return "assigned_to";
        case EdgeType::triggered_on:
            return "triggered_on";
        case EdgeType::causal_sequence:
            return "causal_sequence";
        case EdgeType::anomaly_correlated:
            return "anomaly_correlated";
    }
    return "";
}

Name Name::fromSlice(std::string_view bytes) {
    Name n{};
    n.len = static_cast<u8>(std::min<size_t>(bytes.size(), kNameCap));
    if (n.len) std::memcpy(n.data, bytes.data(), n.len);
    return n;
}

const Node* Graph::findNode(std::string_view name, NodeType type) const {
    if (name.empty() || name.size() > kNameCap) return nullptr;
    const u32 slot = node_index.find(nodeKeyHash(name, type), [&](u32 s) {
        const Node& n = nodes[s];
        return n.active && n.node_type == type && Name::eql(n.name, name);
    });
    return slot == kNoSlot ? nullptr : &nodes[slot];
}

Node* Graph::findNode(std::string_view name, NodeType type) {
    return const_cast<Node*>(std::as_const(*this).findNode(name, type));
}

std::optional<u32> Graph::addNode(std::string_view name, NodeType type) {
    if (name.empty() || name.size() > kNameCap) {
        logWarn("graph", "addNode: invalid name length {}", name.size());
        return std::nullopt;
    }
    while (node_free < kMaxNodes && nodes[node_free].active) ++node_free;
    if (node_free == kMaxNodes) {
        static LogLimit limit;
        logLimited(limit, LogLevel::error, "graph", "addNode: capacity exhausted ({} nodes)",
                   kMaxNodes);
        return std::nullopt;
    }
    const u32 slot = node_free;
    Node& n = nodes[slot];
    n = Node{};
    n.id = slot;
    n.name = Name::fromSlice(name);
    n.node_type = type;
    n.active = true;
    ++node_count;
    node_index.insert(nodeKeyHash(name, type), slot, [&](u32 s) {
        const Node& o = nodes[s];
        return o.active && o.node_type == type && Name::eql(o.name, name);
    });
    return slot;
}

const Edge* Graph::findEdge(u32 source, u32 target, EdgeType type) const {
    const u32 slot = edge_index.find(edgeKeyHash(source, target, type), [&](u32 s) {
        const Edge& e = edges[s];
        return e.active && e.source == source && e.target == target && e.edge_type == type;
    });
    return slot == kNoSlot ? nullptr : &edges[slot];
}

Edge* Graph::findEdge(u32 source, u32 target, EdgeType type) {
    return const_cast<Edge*>(std::as_const(*this).findEdge(source, target, type));
}

// Appends edge `slot` to its endpoints' lists. Edge slots are taken in
// increasing order (none is ever released), so appending keeps every list in
// slot order.
void Graph::linkEdge(u32 slot) {
    const Edge& e = edges[slot];
    const u32 cell = slot + 1;
    auto append = [&](u32* head, u32* tail, u32* next, u32 node) {
        next[slot] = 0;
        if (head[node] == 0) {
            head[node] = cell;
        } else {
            next[tail[node] - 1] = cell;
        }
        tail[node] = cell;
    };
    append(out_head, out_tail, next_out, e.source);
    append(in_head, in_tail, next_in, e.target);
    ++degree[e.source];
    if (e.target != e.source) ++degree[e.target];
}

bool Graph::addEdge(u32 source, u32 target, EdgeType type, f32 weight) {
    if (source >= kMaxNodes || target >= kMaxNodes) return false;
    if (!nodes[source].active || !nodes[target].active) {
        logWarn("graph", "addEdge: source {} or target {} inactive", source, target);
        return false;
    }
    if (Edge* e = findEdge(source, target, type)) {
        e->weight = std::min(e->weight + 0.1f * weight, 1.0f);
        if (e->reinforcement_count < 65535) ++e->reinforcement_count;
        return true;
    }
    while (edge_free < kMaxEdges && edges[edge_free].active) ++edge_free;
    if (edge_free == kMaxEdges) {
        static LogLimit limit;
        logLimited(limit, LogLevel::error, "graph", "addEdge: capacity exhausted ({} edges)",
                   kMaxEdges);
        return false;
    }
    const u32 slot = edge_free;
    edges[slot] = Edge{source, target, weight, 0, type, true};
    ++edge_count;
    edge_index.insert(edgeKeyHash(source, target, type), slot, [&](u32 s) {
        const Edge& o = edges[s];
        return o.active && o.source == source && o.target == target && o.edge_type == type;
    });
    linkEdge(slot);
    return true;
}

const Node* Graph::getNode(u32 id) const {
    if (id >= kMaxNodes || !nodes[id].active) return nullptr;
    return &nodes[id];
}

Node* Graph::getNode(u32 id) {
    return const_cast<Node*>(std::as_const(*this).getNode(id));
}

void Graph::bumpAccess(u32 id, i64 now) {
    Node* n = getNode(id);
    if (!n) return;
    if (n->access_count != 0xFFFFFFFFu) ++n->access_count;
    n->last_activated = now;
}

// Walks the node's outgoing list (and, unless forward only, its incoming
// list) merged by slot, which visits exactly the edges a slot-order scan
// would find touching the node, in the same order.
template <bool kForwardOnly>
u32 Graph::collectNeighbors(u32 id, f32 min_weight, Neighbor (&out)[kMaxNeighbors]) const {
    if (id >= kMaxNodes) return 0;
    u32 count = 0;
    u32 a = out_head[id];
    u32 b = kForwardOnly ? 0 : in_head[id];
    while ((a != 0 || b != 0) && count < kMaxNeighbors) {
        u32 slot;
        if (a != 0 && (b == 0 || a <= b)) {
            slot = a - 1;
            if (a == b) b = next_in[slot];  // a self-loop sits in both lists
            a = next_out[slot];
        } else {
            slot = b - 1;
            b = next_in[slot];
        }
        const Edge& e = edges[slot];
        if (!e.active || e.weight < min_weight) continue;
        const u32 other = e.source == id ? e.target : e.source;
        if (other >= kMaxNodes || !nodes[other].active) continue;
        Neighbor& nb = out[count++];
        nb.node_id = other;
        nb.weight = e.weight;
        nb.edge_type = e.edge_type;
        nb.name = nodes[other].name;
    }
    return count;
}

u32 Graph::getNeighbors(u32 id, f32 min_weight, Neighbor (&out)[kMaxNeighbors]) const {
    return collectNeighbors<false>(id, min_weight, out);
}

u32 Graph::getForwardNeighbors(u32 id, f32 min_weight, Neighbor (&out)[kMaxNeighbors]) const {
    return collectNeighbors<true>(id, min_weight, out);
}

u32 Graph::nodeDegree(u32 id) const {
    if (id >= kMaxNodes || !nodes[id].active) return 0;
    return degree[id];
}

}  // namespace tarvex
