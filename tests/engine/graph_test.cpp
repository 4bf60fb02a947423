// graph_test.cpp: the entity graph's rules, one behaviour per test.
#include "engine/graph.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/numbered.h"
#include "engine/table_ptr.h"
#include "support/log_capture.h"

namespace tarvex {
namespace {

using test::LogCapture;
using test::makeTable;

u32 mustAdd(Graph& g, std::string_view name, NodeType t = NodeType::ip_address) {
    auto id = g.addNode(name, t);
    EXPECT_TRUE(id.has_value()) << name;
    return id.value_or(0);
}

TEST(Graph, NameLengthRules) {
    struct Case {
        const char* rule;
        size_t len;
        bool accepted;
        const char* log;
    };
    const Case cases[] = {
        {"64 bytes is the longest name", 64, true, nullptr},
        {"65 bytes is refused", 65, false, "warning(graph): addNode: invalid name length 65"},
        {"an empty name is refused", 0, false, "warning(graph): addNode: invalid name length 0"},
        {"a single byte is a name", 1, true, nullptr},
    };
    for (const Case& c : cases) {
        auto g = makeTable<Graph>();
        LogCapture logs;
        const std::string name(c.len, 'n');
        auto id = g->addNode(name, NodeType::dns_name);
        EXPECT_EQ(id.has_value(), c.accepted) << c.rule;
        EXPECT_EQ(g->node_count, c.accepted ? 1u : 0u) << c.rule;
        if (c.log) {
            EXPECT_TRUE(logs.has(c.log)) << c.rule;
        } else {
            EXPECT_TRUE(logs.lines().empty()) << c.rule;
            const Node* n = g->findNode(name, NodeType::dns_name);
            ASSERT_NE(n, nullptr) << c.rule;
            EXPECT_EQ(n->name.slice(), name) << c.rule;
        }
    }
}

TEST(Graph, NodesAreKeyedByNameAndType) {
    auto g = makeTable<Graph>();
    const u32 ip = mustAdd(*g, "192.168.1.10", NodeType::ip_address);
    const u32 dns = mustAdd(*g, "192.168.1.10", NodeType::dns_name);
    EXPECT_NE(ip, dns);
    EXPECT_EQ(g->findNode("192.168.1.10", NodeType::ip_address)->id, ip);
    EXPECT_EQ(g->findNode("192.168.1.10", NodeType::dns_name)->id, dns);
    EXPECT_EQ(g->findNode("192.168.1.10", NodeType::device), nullptr);
    EXPECT_EQ(g->findNode("192.168.1.1", NodeType::ip_address), nullptr) << "prefix is no match";
    EXPECT_EQ(g->findNode("192.168.1.10 ", NodeType::ip_address), nullptr) << "length differs";
    // addNode does not look for an existing node; lookups keep the first.
    const u32 dup = mustAdd(*g, "192.168.1.10", NodeType::ip_address);
    EXPECT_EQ(dup, 2u);
    EXPECT_EQ(g->findNode("192.168.1.10", NodeType::ip_address)->id, ip);
    const Node* n = g->getNode(dup);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->id, dup);
    EXPECT_EQ(n->access_count, 0u);
    EXPECT_EQ(n->activation, 0.0f);
}

TEST(Graph, EdgeCreationAndReinforcement) {
    auto g = makeTable<Graph>();
    const u32 a = mustAdd(*g, "a"), b = mustAdd(*g, "b");
    ASSERT_TRUE(g->addEdge(a, b, EdgeType::communicates_with, 0.5f));
    ASSERT_TRUE(g->addEdge(a, b, EdgeType::communicates_with, 0.5f));
    const Edge* e = g->findEdge(a, b, EdgeType::communicates_with);
    ASSERT_NE(e, nullptr);
    EXPECT_FLOAT_EQ(e->weight, 0.55f) << "weight + 0.1 x new";
    EXPECT_EQ(e->reinforcement_count, 1);
    EXPECT_EQ(g->edge_count, 1u) << "reinforcing creates no edge";

    ASSERT_TRUE(g->addEdge(b, a, EdgeType::communicates_with, 0.5f));
    EXPECT_EQ(g->edge_count, 2u) << "edges are directed";
    ASSERT_TRUE(g->addEdge(a, b, EdgeType::assigned_to, 0.5f));
    EXPECT_EQ(g->edge_count, 3u) << "another type is another edge";

    ASSERT_TRUE(g->addEdge(b, a, EdgeType::resolves_to, 1.5f));
    const Edge* heavy = g->findEdge(b, a, EdgeType::resolves_to);
    EXPECT_EQ(heavy->weight, 1.5f) << "a new edge keeps its weight unclamped";
    ASSERT_TRUE(g->addEdge(b, a, EdgeType::resolves_to, 0.2f));
    EXPECT_EQ(heavy->weight, 1.0f) << "reinforcement caps at 1.0";

    for (int i = 0; i < 70000; ++i) g->addEdge(a, a, EdgeType::same_network, 0.1f);
    EXPECT_EQ(g->findEdge(a, a, EdgeType::same_network)->reinforcement_count, 65535)
        << "the counter saturates";
}

TEST(Graph, EdgeRefusals) {
    auto g = makeTable<Graph>();
    const u32 a = mustAdd(*g, "a");
    LogCapture logs;
    EXPECT_FALSE(g->addEdge(kMaxNodes, a, EdgeType::communicates_with, 0.5f));
    EXPECT_FALSE(g->addEdge(a, 0xFFFFFFFFu, EdgeType::communicates_with, 0.5f));
    EXPECT_TRUE(logs.lines().empty()) << "out-of-range ids are refused silently";
    EXPECT_FALSE(g->addEdge(a, 7, EdgeType::communicates_with, 0.5f));
    EXPECT_TRUE(logs.has("warning(graph): addEdge: source 0 or target 7 inactive"));
    EXPECT_EQ(g->edge_count, 0u);
}

TEST(Graph, NeighbourQueriesFollowEdgeSlotOrder) {
    auto g = makeTable<Graph>();
    const u32 hub = mustAdd(*g, "hub");
    u32 others[100];
    for (u32 i = 0; i < 100; ++i) others[i] = mustAdd(*g, test::numbered("n", i));
    // Alternate directions so incoming and outgoing edges interleave.
    for (u32 i = 0; i < 100; ++i) {
        const f32 w = i < 50 ? 0.1f : 0.9f;
        if (i % 2 == 0)
            g->addEdge(hub, others[i], EdgeType::communicates_with, w);
        else
            g->addEdge(others[i], hub, EdgeType::assigned_to, w);
    }
    Neighbor out[kMaxNeighbors];
    ASSERT_EQ(g->getNeighbors(hub, 0.0f, out), 64u) << "capped at 64";
    for (u32 i = 0; i < 64; ++i) {
        EXPECT_EQ(out[i].node_id, others[i]) << "lowest edge slots first, slot " << i;
        EXPECT_EQ(out[i].edge_type, i % 2 ? EdgeType::assigned_to : EdgeType::communicates_with);
        EXPECT_EQ(out[i].name.slice(), test::numbered("n", i));
    }
    EXPECT_EQ(g->nodeDegree(hub), 100u) << "degree is not capped";

    ASSERT_EQ(g->getForwardNeighbors(hub, 0.0f, out), 50u) << "outgoing edges only";
    EXPECT_EQ(out[0].node_id, others[0]);
    EXPECT_EQ(out[49].node_id, others[98]);

    ASSERT_EQ(g->getForwardNeighbors(hub, 0.5f, out), 25u) << "weights below the minimum skipped";
    EXPECT_EQ(out[0].node_id, others[50]);

    EXPECT_EQ(g->getNeighbors(others[1], 0.0f, out), 1u) << "an incoming edge's other end";
    EXPECT_EQ(out[0].node_id, hub);
    EXPECT_EQ(g->getForwardNeighbors(others[0], 0.0f, out), 0u);
}

TEST(Graph, SelfLoopCountsOnce) {
    auto g = makeTable<Graph>();
    const u32 a = mustAdd(*g, "a"), b = mustAdd(*g, "b");
    g->addEdge(a, b, EdgeType::communicates_with, 0.5f);
    g->addEdge(a, a, EdgeType::communicates_with, 0.5f);
    g->addEdge(b, a, EdgeType::communicates_with, 0.5f);
    Neighbor out[kMaxNeighbors];
    ASSERT_EQ(g->getNeighbors(a, 0.0f, out), 3u);
    EXPECT_EQ(out[0].node_id, b);
    EXPECT_EQ(out[1].node_id, a) << "the self-loop yields the node itself once";
    EXPECT_EQ(out[2].node_id, b);
    EXPECT_EQ(g->getForwardNeighbors(a, 0.0f, out), 2u);
    EXPECT_EQ(g->nodeDegree(a), 3u);
    EXPECT_EQ(g->nodeDegree(b), 2u);
}

TEST(Graph, BumpAccessSaturates) {
    auto g = makeTable<Graph>();
    const u32 a = mustAdd(*g, "a");
    g->bumpAccess(a, 100);
    EXPECT_EQ(g->getNode(a)->access_count, 1u);
    EXPECT_EQ(g->getNode(a)->last_activated, 100);
    g->getNode(a)->access_count = 0xFFFFFFFEu;
    g->bumpAccess(a, 200);
    g->bumpAccess(a, 300);
    EXPECT_EQ(g->getNode(a)->access_count, 0xFFFFFFFFu);
    EXPECT_EQ(g->getNode(a)->last_activated, 300);
}

TEST(Graph, FullTablesRefuseWithCapacityMessages) {
    auto g = makeTable<Graph>();
    for (u32 i = 0; i < kMaxNodes; ++i) ASSERT_EQ(mustAdd(*g, test::numbered("node-", i)), i);
    {
        LogCapture logs;
        EXPECT_FALSE(g->addNode("one-more", NodeType::ip_address).has_value());
        EXPECT_FALSE(g->addNode("one-more", NodeType::ip_address).has_value());
        EXPECT_EQ(logs.lines(), std::vector<std::string>(
                                    1, "error(graph): addNode: capacity exhausted (16384 nodes)"))
            << "the second refusal within the second is not logged";
        EXPECT_EQ(g->node_count, kMaxNodes);
    }
    u32 made = 0;
    for (u32 s = 0; made < kMaxEdges; ++s)
        for (u32 t = 0; t < 8 && made < kMaxEdges; ++t, ++made)
            ASSERT_TRUE(g->addEdge(s, (s + t + 1) % kMaxNodes, EdgeType::communicates_with, 0.5f));
    LogCapture logs;
    EXPECT_FALSE(g->addEdge(0, 0, EdgeType::communicates_with, 0.5f));
    EXPECT_TRUE(logs.has("error(graph): addEdge: capacity exhausted (131072 edges)"));
    EXPECT_TRUE(g->addEdge(0, 1, EdgeType::communicates_with, 0.5f)) << "reinforcing still works";
    EXPECT_EQ(g->edge_count, kMaxEdges);
    EXPECT_EQ(g->findNode("node-16383", NodeType::ip_address)->id, 16383u);
}

TEST(Graph, TypeNames) {
    EXPECT_EQ(nodeTypeName(NodeType::ip_address), "ip_address");
    EXPECT_EQ(nodeTypeName(NodeType::alert), "alert");
    EXPECT_EQ(edgeTypeName(EdgeType::communicates_with), "communicates_with");
    EXPECT_EQ(edgeTypeName(EdgeType::anomaly_correlated), "anomaly_correlated");
}

}  // namespace
}  // namespace tarvex
