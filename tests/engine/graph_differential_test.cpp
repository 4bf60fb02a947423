// graph_differential_test.cpp: the indexed graph against a slot scan.
//
// Long random sequences of adds, reinforcements and queries are applied to
// Graph and to ScanGraph (tests/engine/graph_reference.h), and every answer
// must match: ids, found slots, edge weights and counters, neighbour lists
// (order, the 64 cap, names) and degrees. The runs cover sparse and dense
// graphs, hubs with more than 64 edges, self-loops, duplicate names under
// two types, duplicate (name, type) nodes, refused names, inactive and
// out-of-range ids, and both tables filled to capacity.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "engine/graph.h"
#include "engine/graph_reference.h"
#include "engine/table_ptr.h"
#include "support/log_capture.h"

namespace tarvex {
namespace {

using test::ScanGraph;
using test::ScanNeighbor;

struct Driver {
    Graph& g;
    ScanGraph& ref;
    std::mt19937_64 rng;
    u32 name_pool;
    u64 ops = 0;
    u64 node_full = 0;  // refusals the reference expects a capacity line for
    u64 edge_full = 0;

    u32 pick(u32 n) { return static_cast<u32>(rng() % n); }

    std::string nameFor(u32 k) {
        if (k % 97 == 0) return std::string(64, static_cast<char>('a' + k % 26));  // longest names
        char buf[48];
        const int n = std::snprintf(buf, sizeof buf, "10.%u.%u.x%u", k / 256 % 256, k % 256, k);
        return std::string(buf, static_cast<size_t>(n));
    }
    NodeType typeFor() {
        // Mostly two types so the same name often exists under both.
        const u32 r = pick(10);
        return r < 5 ? NodeType::ip_address : r < 9 ? NodeType::dns_name : NodeType::device;
    }
    u32 nodeId() {
        const u32 live = std::max<u32>(ref.nodeCount(), 1);
        switch (pick(16)) {
            case 0:
                return kMaxNodes + pick(4);  // out of range
            case 1:
                return live + pick(8);  // probably inactive
            case 2:
            case 3:
            case 4:
                return pick(4);  // hubs
            default:
                return pick(live);
        }
    }
    f32 weightFor() {
        static constexpr f32 kWeights[] = {0.0f, 0.04f, 0.05f, 0.3f, 0.5f, 0.9f, 1.0f, 1.5f};
        return pick(3) == 0 ? kWeights[pick(8)] : static_cast<f32>(pick(1000)) / 1000.0f;
    }

    void checkFind(const std::string& name, NodeType t) {
        const Node* got = g.findNode(name, t);
        const auto want = ref.findNode(name, t);
        ASSERT_EQ(got != nullptr, want.has_value()) << name;
        if (got) {
            ASSERT_EQ(got->id, *want) << name;
        }
    }

    void stepAddNode(bool ensure) {
        std::string name;
        const u32 r = pick(50);
        if (r == 0) {
            name = "";
        } else if (r == 1) {
            name = std::string(65, 'z');
        } else {
            name = nameFor(pick(name_pool));
        }
        const NodeType t = typeFor();
        if (ensure && g.findNode(name, t)) {
            checkFind(name, t);
            return;
        }
        const auto got = g.addNode(name, t);
        ScanGraph::Refusal why;
        const auto want = ref.addNode(name, t, &why);
        if (why == ScanGraph::Refusal::full) ++node_full;
        ASSERT_EQ(got, want) << name;
    }

    void stepAddEdge() {
        const u32 s = nodeId();
        const u32 t = pick(8) == 0 ? s : nodeId();  // self-loops
        const EdgeType type = static_cast<EdgeType>(pick(3) == 0 ? pick(8) : 0);
        const f32 w = weightFor();
        const bool got = g.addEdge(s, t, type, w);
        u32 slot = 0;
        const auto want = ref.addEdge(s, t, type, w, &slot);
        if (want == ScanGraph::EdgeResult::full) ++edge_full;
        const bool stored =
            want == ScanGraph::EdgeResult::created || want == ScanGraph::EdgeResult::reinforced;
        ASSERT_EQ(got, stored);
        const Edge* e = g.findEdge(s, t, type);
        if (!stored) {
            // Refused: the edge exists only if it did before, and then the
            // reference must know it too (checked by the table comparison).
            return;
        }
        ASSERT_NE(e, nullptr);
        ASSERT_EQ(static_cast<u32>(e - g.edges), slot) << "edge slot";
        ASSERT_EQ(e->weight, ref.weight(slot));
        ASSERT_EQ(e->reinforcement_count, ref.reinforcements(slot));
    }

    void stepNeighbors() {
        const u32 id = nodeId();
        static constexpr f32 kMin[] = {0.0f, 0.05f, 0.5f};
        const f32 min_weight = kMin[pick(3)];
        const bool forward = pick(2) == 0;
        Neighbor got[kMaxNeighbors];
        ScanNeighbor want[kMaxNeighbors];
        const u32 n = forward ? g.getForwardNeighbors(id, min_weight, got)
                              : g.getNeighbors(id, min_weight, got);
        const u32 m = ref.getNeighbors(id, min_weight, want, forward);
        ASSERT_EQ(n, m) << "node " << id << (forward ? " forward" : "");
        for (u32 i = 0; i < n; ++i) {
            ASSERT_EQ(got[i].node_id, want[i].node_id) << i;
            ASSERT_EQ(got[i].weight, want[i].weight) << i;
            ASSERT_EQ(got[i].edge_type, want[i].edge_type) << i;
            ASSERT_EQ(got[i].name.slice(), want[i].name) << i;
        }
        ASSERT_EQ(g.nodeDegree(id), ref.nodeDegree(id)) << "node " << id;
    }

    void stepBump() {
        const u32 id = nodeId();
        const i64 now = 1700000000 + static_cast<i64>(ops);
        g.bumpAccess(id, now);
        ref.bumpAccess(id, now);
        const Node* n = g.getNode(id);
        ASSERT_EQ(n != nullptr, id < kMaxNodes && ref.node(id).active);
        if (n) {
            ASSERT_EQ(n->access_count, ref.node(id).access_count);
            ASSERT_EQ(n->last_activated, ref.node(id).last_activated);
        }
    }

    void step() {
        ++ops;
        const u32 r = pick(100);
        if (r < 12) {
            stepAddNode(true);
        } else if (r < 15) {
            stepAddNode(false);  // plain adds make duplicate (name, type) nodes
        } else if (r < 55) {
            stepAddEdge();
        } else if (r < 70) {
            checkFind(nameFor(pick(name_pool)), typeFor());
        } else if (r < 90) {
            stepNeighbors();
        } else {
            stepBump();
        }
    }

    void compareTables() {
        ASSERT_EQ(g.node_count, ref.nodeCount());
        ASSERT_EQ(g.edge_count, ref.edgeCount());
        for (u32 i = 0; i < kMaxNodes; ++i) {
            const Node& n = g.nodes[i];
            const ScanGraph::N& r = ref.node(i);
            ASSERT_EQ(n.active, r.active) << i;
            if (!n.active) continue;
            ASSERT_EQ(n.name.slice(), r.view()) << i;
            ASSERT_EQ(n.node_type, r.type) << i;
            ASSERT_EQ(n.id, i);
        }
        for (u32 i = 0; i < kMaxEdges; ++i) {
            const Edge& e = g.edges[i];
            ASSERT_EQ(e.active, ref.edgeActive(i)) << i;
            if (!e.active) continue;
            ASSERT_EQ(e.source, ref.source(i)) << i;
            ASSERT_EQ(e.target, ref.target(i)) << i;
            ASSERT_EQ(e.edge_type, ref.edgeType(i)) << i;
            ASSERT_EQ(e.weight, ref.weight(i)) << i;
            ASSERT_EQ(e.reinforcement_count, ref.reinforcements(i)) << i;
        }
    }
};

// Many independent runs over small and medium graphs: the bulk of the
// operations, each answer compared.
TEST(GraphDifferential, RandomSequencesMatchSlotScan) {
    test::LogCapture quiet;  // refusals log warnings; their text is pinned in graph_test
    u64 total = 0;
    for (u32 run = 0; run < 40; ++run) {
        auto g = test::makeTable<Graph>();
        ScanGraph ref;
        static constexpr u32 kPools[] = {40, 300, 2000, 6000};
        Driver d{*g, ref, std::mt19937_64(0x5eed0000 + run), kPools[run % 4]};
        for (u32 i = 0; i < 25000; ++i) {
            d.step();
            if (::testing::Test::HasFatalFailure()) {
                FAIL() << "run " << run << " op " << d.ops;
            }
        }
        d.compareTables();
        total += d.ops;
        quiet.clear();
    }
    EXPECT_GE(total, 1000000u);
}

// Both tables driven to capacity through the same random mix, then queried
// and refused at full size.
TEST(GraphDifferential, FullTablesMatchSlotScan) {
    test::LogCapture logs;
    auto g = test::makeTable<Graph>();
    ScanGraph ref;
    Driver d{*g, ref, std::mt19937_64(0xF011), 12000};

    // Nodes: names shared between ip_address and dns_name until the table
    // is full, then refusals.
    u32 refused = 0;
    for (u32 k = 0; refused < 50; ++k) {
        const std::string name = d.nameFor(k / 2);
        const NodeType t = k % 2 ? NodeType::dns_name : NodeType::ip_address;
        const auto got = g->addNode(name, t);
        ScanGraph::Refusal why;
        ASSERT_EQ(got, ref.addNode(name, t, &why));
        if (why == ScanGraph::Refusal::full) ++refused;
    }
    ASSERT_EQ(g->node_count, kMaxNodes);

    // Edges: a bulk of distinct edges first (seven per node, targets spread
    // over the table; the reference stores them without its per-add scan and
    // the final table comparison checks every slot), then hub-heavy random
    // adds with reinforcements, each compared, until the table is full.
    for (u32 s = 0; s < kMaxNodes; ++s) {
        for (u32 k = 0; k < 7; ++k) {
            const u32 t = (s * 31 + 1 + k * 2311) % kMaxNodes;
            ASSERT_TRUE(g->addEdge(s, t, EdgeType::resolves_to, 0.25f));
            ref.loadEdge(s, t, EdgeType::resolves_to, 0.25f);
        }
    }
    u64 fill = 0;
    while (ref.edgeCount() < kMaxEdges) {
        ++fill;
        d.stepAddEdge();
        ASSERT_FALSE(::testing::Test::HasFatalFailure());
    }
    for (u32 i = 0; i < 10000; ++i) {
        d.step();
        ASSERT_FALSE(::testing::Test::HasFatalFailure()) << "op " << i;
    }
    d.compareTables();
    const auto lines = logs.lines();
    // Refusals are logged at most once a second per table (the run takes a
    // second or two), not once each.
    const auto count = [&](const char* line) {
        return static_cast<u64>(std::count(lines.begin(), lines.end(), line));
    };
    const u64 node_lines = count("error(graph): addNode: capacity exhausted (16384 nodes)");
    const u64 edge_lines = count("error(graph): addEdge: capacity exhausted (131072 edges)");
    ASSERT_GT(refused + d.node_full, 100u);
    ASSERT_GT(d.edge_full, 100u);
    EXPECT_GE(node_lines, 1u);
    EXPECT_LE(node_lines, 5u);
    EXPECT_GE(edge_lines, 1u);
    EXPECT_LE(edge_lines, 5u);
    EXPECT_GT(d.edge_full, 0u);
    const u64 ops = d.ops + fill + g->node_count + refused;
    EXPECT_GE(ops, 40000u) << "compared at or near full tables";
}
}  // namespace
}  // namespace tarvex
