// activation_test.cpp: the activation map and wave spreading.
#include "engine/activation.h"

#include <gtest/gtest.h>

#include "engine/numbered.h"
#include "engine/table_ptr.h"
#include "support/log_capture.h"

namespace tarvex {
namespace {

using test::LogCapture;
using test::makeTable;
using test::numbered;

struct World {
    test::TablePtr<Graph> g = makeTable<Graph>();
    test::TablePtr<ActivationMap> map = makeTable<ActivationMap>();
    u32 node(std::string_view name) { return *g->addNode(name, NodeType::ip_address); }
    f32 level(u32 id) const {
        const ActivationEntry* e = map->find(id);
        return e ? e->activation : -1.0f;
    }
};

TEST(Activation, FirstLevelFollowsEdgesAtOrAboveMinimumWeight) {
    World w;
    const u32 seed = w.node("seed"), near = w.node("near"), weak = w.node("weak");
    w.g->addEdge(seed, near, EdgeType::communicates_with, 0.5f);
    w.g->addEdge(seed, weak, EdgeType::communicates_with, 0.04f);
    const SpreadStats st = spread(*w.g, *w.map, seed);
    EXPECT_EQ(w.level(seed), 1.0f);
    EXPECT_FLOAT_EQ(w.level(near), 0.3f) << "0.6 x 0.5 x 1.0";
    EXPECT_EQ(w.level(weak), -1.0f) << "an edge below 0.05 is not followed";
    EXPECT_EQ(st.seeds, 1u);
    EXPECT_EQ(st.wave_id, 0u);
    EXPECT_EQ(st.nodes_activated, 2u);
    EXPECT_EQ(st.edges_traversed, 1u);
    EXPECT_EQ(st.depth_reached, 2) << "level 0 expanded, level 1 found nothing further";
}

TEST(Activation, DecayStopsBelowMinimumLevel) {
    World w;
    const u32 a = w.node("a"), b = w.node("b"), c = w.node("c"), d = w.node("d");
    w.g->addEdge(a, b, EdgeType::communicates_with, 0.5f);
    w.g->addEdge(b, c, EdgeType::communicates_with, 0.1f);  // 0.36 x 0.1 x 0.3 = 0.0108
    w.g->addEdge(b, d, EdgeType::communicates_with, 1.0f);  // 0.36 x 1.0 x 0.3 = 0.108
    const SpreadStats st = spread(*w.g, *w.map, a);
    EXPECT_EQ(w.level(c), -1.0f) << "0.0108 is below 0.02";
    EXPECT_FLOAT_EQ(w.level(d), 0.108f);
    EXPECT_EQ(st.nodes_activated, 3u);
    EXPECT_EQ(st.edges_traversed, 3u);
}

TEST(Activation, LevelsAccumulateUpToTwoAndWaveBitsStopAt32) {
    World w;
    const u32 a = w.node("a"), b = w.node("b");
    w.g->addEdge(a, b, EdgeType::communicates_with, 1.0f);
    for (int i = 0; i < 40; ++i) spread(*w.g, *w.map, a);
    EXPECT_EQ(w.level(a), 2.0f) << "capped, whatever the number of waves";
    EXPECT_EQ(w.level(b), 2.0f);
    EXPECT_EQ(w.map->find(a)->wave_mask, 0xFFFFFFFFu) << "waves 0..31 each set a bit";
    EXPECT_EQ(w.map->wave_counter, 40u);
    EXPECT_EQ(w.map->find(b)->last_active_cycle, 40u);

    w.map->activate(b, 33, 5.0f);  // wave beyond 31: no bit, no overflow
    EXPECT_EQ(w.map->find(b)->wave_mask, 0xFFFFFFFFu);
    const u32 c = w.node("c");
    w.map->activate(c, 45, 5.0f);
    EXPECT_EQ(w.map->find(c)->wave_mask, 0u);
    EXPECT_EQ(w.level(c), 2.0f) << "a single level is capped too";
}

TEST(Activation, SeedOutsideTheGraphStartsAnEmptyWave) {
    World w;
    w.node("a");
    for (u32 seed : {1u, kMaxNodes, 0xFFFFFFFFu}) {
        const u32 wave = w.map->wave_counter;
        const SpreadStats st = spread(*w.g, *w.map, seed);
        EXPECT_EQ(st.seeds, 1u);
        EXPECT_EQ(st.wave_id, wave) << "the wave is used up anyway";
        EXPECT_EQ(st.nodes_activated, 0u);
        EXPECT_EQ(st.edges_traversed, 0u);
        EXPECT_EQ(st.depth_reached, 0);
    }
    EXPECT_EQ(w.map->active_count, 0u);
    EXPECT_EQ(w.map->wave_counter, 3u);
}

TEST(Activation, NextFrontierHoldsAtMost256Nodes) {
    World w;
    const u32 seed = w.node("seed");
    const u32 sink = w.node("sink");
    w.g->addEdge(seed, sink, EdgeType::communicates_with, 1.0f);  // gives the sink an entry early
    for (u32 i = 0; i < 63; ++i) {
        const u32 child = w.node(numbered("child-", i));
        w.g->addEdge(seed, child, EdgeType::communicates_with, 1.0f);
        for (u32 j = 0; j < 64; ++j) {
            const u32 grandchild = w.node(numbered("gc-", i * 64 + j));
            w.g->addEdge(child, grandchild, EdgeType::communicates_with, 1.0f);
            w.g->addEdge(grandchild, sink, EdgeType::communicates_with, 1.0f);
        }
    }
    LogCapture logs;  // 4032 grandchildren overflow the 512 entries
    const SpreadStats st = spread(*w.g, *w.map, seed);
    EXPECT_EQ(st.edges_traversed, 64u + 63u * 64u + 256u)
        << "the third level expands only the first 256 grandchildren";
    EXPECT_EQ(st.nodes_activated, 1u + 64u + 63u * 64u + 256u)
        << "counted per activation, including refused ones";
    EXPECT_EQ(st.depth_reached, 3);
    EXPECT_EQ(w.map->active_count, kMaxActivations);
    // 0.6, then 256 x (0.216 x 0.216), capped at 2.0.
    EXPECT_EQ(w.level(sink), 2.0f);
    EXPECT_TRUE(logs.hasSubstring("warning(activation): activate: no free slot for node "));
}

TEST(Activation, FullMapRefusesNewNodes) {
    World w;
    for (u32 i = 0; i < kMaxActivations; ++i) w.map->activate(i, 0, 0.5f);
    LogCapture logs;
    w.map->activate(kMaxActivations, 0, 0.5f);
    EXPECT_TRUE(
        logs.has("warning(activation): activate: no free slot for node 512 (active_count=512)"));
    EXPECT_EQ(w.map->find(kMaxActivations), nullptr);
    w.map->activate(7, 1, 0.25f);
    EXPECT_EQ(w.map->find(7)->activation, 0.75f) << "known nodes still accumulate";
    EXPECT_EQ(w.map->find(7)->wave_mask, 3u);
    EXPECT_EQ(w.map->find(7) - w.map->entries, 7) << "entries taken first-free in order";
}

}  // namespace
}  // namespace tarvex
