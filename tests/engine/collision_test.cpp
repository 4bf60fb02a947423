// collision_test.cpp: detection rules, streaks and the collision alerts.
#include "engine/collision.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/numbered.h"
#include "engine/table_ptr.h"
#include "support/log_capture.h"

namespace tarvex {
namespace {

using test::LogCapture;
using test::makeTable;
using test::numbered;

struct Published {
    u32 id;
    std::string title;
    std::string severity;
};

struct FeedRecorder {
    std::vector<Published> got;
    LiveFeed feed;
    FeedRecorder() {
        feed.ctx = this;
        feed.alert = [](void* ctx, u32 id, std::string_view title, std::string_view severity) {
            static_cast<FeedRecorder*>(ctx)->got.push_back(
                {id, std::string(title), std::string(severity)});
        };
    }
};

struct World {
    test::TablePtr<Graph> g = makeTable<Graph>();
    test::TablePtr<ActivationMap> map = makeTable<ActivationMap>();
    test::TablePtr<StreakTracker> streaks = makeTable<StreakTracker>();
    test::TablePtr<AlertManager> alerts = makeTable<AlertManager>();
    FeedRecorder rec;
    World() { alerts->init(); }
    u32 node(std::string_view name) { return *g->addNode(name, NodeType::ip_address); }
    u32 run() { return runCollisionDetection(*map, *streaks, *g, *alerts, &rec.feed); }
    u32 detect(Collision (&out)[kMaxCollisions]) {
        return detectCollisions(*map, *g, *streaks, out);
    }
};

TEST(Collision, ThresholdAndDampeningHelpers) {
    struct Case {
        const char* rule;
        u32 degree;
        f32 threshold;
    };
    const Case cases[] = {
        {"degree 0 gives the floor", 0, 0.2f},
        {"degree 1: 0.2 + 0.2 log2 2", 1, 0.4f},
        {"degree 3: 0.2 + 0.2 log2 4", 3, 0.6f},
        {"degree 127: 0.2 + 0.2 x 7 = 1.6 capped", 127, 1.5f},
    };
    for (const Case& c : cases) EXPECT_FLOAT_EQ(degreeThreshold(c.degree), c.threshold) << c.rule;
    EXPECT_EQ(hubDampening(20), 1.0f);
    EXPECT_EQ(hubDampening(21), 20.0f / 21.0f);
    EXPECT_EQ(hubDampening(40), 0.5f);
}

TEST(Collision, DetectionRules) {
    struct Case {
        const char* rule;
        u32 degree;
        u32 access_count;
        u32 wave_mask;
        f32 level;
        bool collides;
        f32 reported;
    };
    const Case cases[] = {
        {"one wave never collides", 0, 0, 0b1, 2.0f, false, 0},
        {"two waves, degree 3: 0.5 is below 0.6", 3, 0, 0b11, 0.5f, false, 0},
        {"two waves, degree 0: 0.5 clears 0.2", 0, 0, 0b11, 0.5f, true, 0.5f},
        {"level equal to the threshold collides", 3, 0, 0b101, 0.6f, true, 0.6f},
        {"a hub with 40 accesses is dampened to half", 0, 40, 0b11, 1.0f, true, 0.5f},
        {"dampening can push a node under its threshold", 1, 200, 0b11, 2.0f, false, 0},
    };
    for (const Case& c : cases) {
        World w;
        const u32 t = w.node("target");
        for (u32 i = 0; i < c.degree; ++i)
            w.g->addEdge(w.node(numbered("peer-", i)), t, EdgeType::communicates_with, 0.5f);
        w.g->getNode(t)->access_count = c.access_count;
        w.map->activate(t, 0, 0.0f);
        w.map->find(t)->wave_mask = c.wave_mask;
        w.map->find(t)->activation = c.level;
        Collision out[kMaxCollisions];
        const u32 n = w.detect(out);
        ASSERT_EQ(n, c.collides ? 1u : 0u) << c.rule;
        if (n) {
            EXPECT_FLOAT_EQ(out[0].activation, c.reported) << c.rule;
            EXPECT_EQ(out[0].wave_count, popcount32(c.wave_mask)) << c.rule;
            EXPECT_EQ(out[0].streak, 0u) << c.rule;
        }
    }
}

TEST(Collision, NodesOutsideTheGraphUseTheFloorThreshold) {
    World w;
    w.map->activate(kMaxNodes + 5, 0, 0.25f);
    w.map->activate(kMaxNodes + 5, 1, 0.0f);
    w.map->activate(3, 0, 0.1f);  // inside the range but no node: floor 0.2, not reached
    w.map->activate(3, 1, 0.05f);
    EXPECT_EQ(w.run(), 1u);
    const Alert* a = w.alerts->getAlert(1);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->getTitle(), "Collision on unknown (2 waves)");
    EXPECT_EQ(a->getSourceIp(), "unknown");
    EXPECT_EQ(a->getEvidence().find("Connected nodes"), std::string_view::npos);
}

TEST(Collision, TwoWaveAlertTexts) {
    World w;
    const u32 a = w.node("10.0.0.1"), b = w.node("10.0.0.2"), t = w.node("192.168.1.50");
    w.g->addEdge(a, t, EdgeType::communicates_with, 0.5f);
    w.g->addEdge(b, t, EdgeType::communicates_with, 0.5f);
    spread(*w.g, *w.map, a);
    spread(*w.g, *w.map, b);  // t: 0.3 + 0.3 over waves 0 and 1; degree 2, threshold 0.517
    LogCapture logs;
    EXPECT_EQ(w.run(), 1u);
    EXPECT_TRUE(logs.has("info(collision): detectCollisions: found 1 collisions"));
    EXPECT_TRUE(logs.has(
        "info(alert_manager): alert created: id=1 severity=low title=\"Collision on 192.168.1.50 "
        "(2 waves)\""));
    const Alert* al = w.alerts->getAlert(1);
    ASSERT_NE(al, nullptr);
    EXPECT_EQ(al->getTitle(), "Collision on 192.168.1.50 (2 waves)");
    EXPECT_EQ(al->getDescription(), "2 independent activation waves converged on 192.168.1.50.");
    EXPECT_EQ(al->getEvidence(),
              "2 independent activation waves converged on 192.168.1.50.\n"
              "\nTarget: 192.168.1.50\n"
              "Activation Level: 0.6000\n"
              "Wave Count: 2\n"
              "Stream Count: 0\n"
              "Cross-Stream: no\n"
              "Streak: 1 consecutive cycle\n"
              "\nConnected nodes:\n"
              "  10.0.0.1 (communicates_with, weight 0.50)\n"
              "  10.0.0.2 (communicates_with, weight 0.50)\n");
    EXPECT_EQ(al->severity, AlertSeverity::low);
    EXPECT_EQ(al->collision_wave_count, 2u);
    EXPECT_FLOAT_EQ(al->surprise_score, 0.6f);
    EXPECT_EQ(al->getSourceIp(), "192.168.1.50");
    EXPECT_EQ(al->getDestIp(), "");
    EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(al->source_mac), 6),
              std::string_view("\0\0\0\0\0\0", 6));
    ASSERT_EQ(w.rec.got.size(), 1u);
    EXPECT_EQ(w.rec.got[0].id, 1u);
    EXPECT_EQ(w.rec.got[0].title, "Collision on 192.168.1.50 (2 waves)");
    EXPECT_EQ(w.rec.got[0].severity, "low");
}

TEST(Collision, SeverityAndCrossStreamWording) {
    struct Case {
        const char* rule;
        u32 wave_mask;
        u8 stream_mask;
        const char* severity;
        const char* title;
        bool cross_sentence;
    };
    const Case cases[] = {
        {"two waves, no streams: low", 0b11, 0, "low", "Collision on x (2 waves)", false},
        {"three waves: medium", 0b111, 0, "medium", "Collision on x (3 waves)", false},
        {"one stream is not cross-stream", 0b1111, 0b1, "medium", "Collision on x (4 waves)",
         false},
        {"cross-stream, three waves: high", 0b111, 0b11, "high",
         "Collision on x (3 waves, cross-stream)", true},
        {"cross-stream, four waves: critical", 0b1111, 0b101, "critical",
         "Collision on x (4 waves, cross-stream)", true},
    };
    for (const Case& c : cases) {
        World w;
        const u32 x = w.node("x");
        w.map->activate(x, 0, 1.0f);
        w.map->find(x)->wave_mask = c.wave_mask;
        w.map->find(x)->stream_mask = c.stream_mask;
        ASSERT_EQ(w.run(), 1u) << c.rule;
        const Alert* a = w.alerts->getAlert(1);
        EXPECT_EQ(a->getTitle(), c.title) << c.rule;
        EXPECT_EQ(severityName(a->severity), c.severity) << c.rule;
        EXPECT_EQ(w.rec.got.at(0).severity, c.severity) << c.rule;
        const std::string_view sentence =
            ".\nSignals originated from multiple independent sources, suggesting coordinated "
            "activity targeting this endpoint.\n\nTarget: x\n";
        EXPECT_EQ(a->getEvidence().find(sentence) != std::string_view::npos, c.cross_sentence)
            << c.rule;
        EXPECT_NE(
            a->getEvidence().find(c.cross_sentence ? "Cross-Stream: yes\n" : "Cross-Stream: no\n"),
            std::string_view::npos)
            << c.rule;
        EXPECT_EQ(a->getDescription().back(), '.') << c.rule << ": ends before the first break";
    }
}

TEST(Collision, EvidenceListsTwentyNeighbours) {
    World w;
    const u32 hub = w.node("hub");
    for (u32 i = 0; i < 25; ++i)
        w.g->addEdge(hub, w.node(numbered("n", i)), EdgeType::assigned_to, 0.125f);
    w.map->activate(hub, 0, 2.0f);
    w.map->activate(hub, 1, 0.0f);  // degree 25: threshold 0.2 + 0.2 log2 26 = 1.14
    ASSERT_EQ(w.run(), 1u);
    const std::string_view ev = w.alerts->getAlert(1)->getEvidence();
    EXPECT_NE(ev.find("\nConnected nodes:\n  n0 (assigned_to, weight 0.12)\n"), std::string::npos)
        << "two digits after the point";
    EXPECT_NE(ev.find("  n19 (assigned_to, weight 0.12)\n  ... and 5 more\n"), std::string::npos);
    EXPECT_EQ(ev.find("  n20 "), std::string::npos);
    EXPECT_TRUE(ev.ends_with("  ... and 5 more\n"));
}

TEST(Collision, LongTextsAreCutToTheirFields) {
    World w;
    const std::string long_name(64, 'h');
    const u32 hub = w.node(long_name);
    for (u32 i = 0; i < 25; ++i) {
        std::string peer(64, 'p');
        peer.replace(0, 2, numbered("", 10 + i));
        w.g->addEdge(w.node(peer), hub, EdgeType::communicates_with, 1.0f);
    }
    w.map->activate(hub, 0, 2.0f);
    w.map->activate(hub, 1, 0.0f);
    ASSERT_EQ(w.run(), 1u);
    const Alert* a = w.alerts->getAlert(1);
    EXPECT_EQ(a->getEvidence().size(), kAlertEvidenceCap) << "20 long neighbour lines overflow";
    EXPECT_EQ(a->getDescription(),
              "2 independent activation waves converged on " + long_name + ".");
    EXPECT_EQ(a->getTitle(), "Collision on " + long_name + " (2 waves)");
    EXPECT_EQ(a->getSourceIp(), long_name.substr(0, kAlertIpCap)) << "the address field holds 46";
}

TEST(Collision, StreaksOverConsecutiveCycles) {
    World w;
    const u32 x = w.node("x");
    w.map->activate(x, 0, 1.0f);
    w.map->activate(x, 1, 0.0f);
    const u32 want[] = {1, 2, 3, 4, 5, 0, 1, 2};  // 0: the cycle in which it is skipped
    for (u32 cycle = 0; cycle < 8; ++cycle) {
        const u32 before = w.alerts->alert_count;
        const u32 n = w.run();
        if (want[cycle] == 0) {
            EXPECT_EQ(n, 0u) << "cycle " << cycle << ": a streak above 4 is skipped";
            EXPECT_EQ(w.streaks->getStreak(x), 0u) << "and released";
            EXPECT_EQ(w.streaks->count, 0u);
            continue;
        }
        ASSERT_EQ(n, 1u) << "cycle " << cycle;
        const std::string_view ev = w.alerts->getAlert(before + 1)->getEvidence();
        const std::string line =
            numbered("Streak: ", want[cycle]) +
            (want[cycle] == 1 ? " consecutive cycle\n" : " consecutive cycles\n");
        EXPECT_NE(ev.find(line), std::string::npos) << "cycle " << cycle << "\n" << ev;
    }
}

TEST(Collision, StreakTrackerReleasesAndReusesSlots) {
    auto t = makeTable<StreakTracker>();
    const u32 first[] = {10, 20, 30};
    t->updateCycle(first);
    EXPECT_EQ(t->count, 3u);
    const u32 second[] = {30, 40};
    t->updateCycle(second);
    EXPECT_EQ(t->count, 2u);
    EXPECT_EQ(t->getStreak(10), 0u);
    EXPECT_EQ(t->getStreak(30), 2u);
    EXPECT_EQ(t->getStreak(40), 1u);
    EXPECT_EQ(t->node_ids[3], 40u) << "slots of absent nodes are released after the cycle";
    const u32 third[] = {30, 40, 50};
    t->updateCycle(third);
    EXPECT_EQ(t->node_ids[0], 50u) << "the lowest free slot is reused";
    std::vector<u32> many;
    for (u32 i = 0; i < 300; ++i) many.push_back(1000 + i);
    t->updateCycle(many);
    EXPECT_EQ(t->count, kMaxStreaks - 3) << "253 new nodes tracked, then 30, 40, 50 released";
    EXPECT_EQ(t->getStreak(1000 + 253), 0u) << "a full tracker leaves the rest untracked";
    EXPECT_EQ(t->getStreak(1000 + 252), 1u);
    EXPECT_EQ(t->getStreak(30), 0u);
    t->updateCycle({});
    EXPECT_EQ(t->count, 0u);
}

TEST(Collision, SortedByLevelAndCappedAt32) {
    World w;
    for (u32 i = 0; i < 40; ++i) {
        const u32 id = w.node(numbered("n", i));
        w.map->activate(id, 0, 0.5f + static_cast<f32>(i % 4) * 0.25f);
        w.map->activate(id, 1, 0.0f);
    }
    Collision c[kMaxCollisions];
    const u32 n = w.detect(c);
    ASSERT_EQ(n, 32u) << "the scan stops at a 33rd candidate";
    EXPECT_EQ(c[31].node_id, 31u);
    sortCollisionsDesc(std::span<Collision>(c, n));
    EXPECT_EQ(c[0].node_id, 3u) << "highest first";
    EXPECT_EQ(c[1].node_id, 7u) << "equal levels keep scan order";
    EXPECT_EQ(c[8].node_id, 2u);
    EXPECT_EQ(c[31].node_id, 28u);
    for (u32 i = 1; i < n; ++i) EXPECT_GE(c[i - 1].activation, c[i].activation);

    LogCapture logs;
    EXPECT_EQ(w.run(), 32u);
    EXPECT_TRUE(logs.has("info(collision): detectCollisions: found 32 collisions"));
    EXPECT_EQ(w.alerts->getAlert(1)->getTitle(), "Collision on n3 (2 waves)");
    EXPECT_EQ(w.rec.got.size(), 32u);
}

TEST(Collision, FullAlertTableStillAlerts) {
    // A full table gives up its oldest alert: the collision is alerted and
    // broadcast like any other.
    World w;
    static constexpr u8 kMac[6] = {};
    for (u32 i = 0; i < kMaxAlerts; ++i)
        w.alerts->createAlert("t", "d", AlertSeverity::info, 0.0f, kMac, 0);
    const u32 x = w.node("x");
    w.map->activate(x, 0, 1.0f);
    w.map->activate(x, 1, 0.0f);
    LogCapture logs;
    EXPECT_EQ(w.run(), 1u);
    EXPECT_TRUE(
        logs.has("warning(alert_manager): alert table full (4096 alerts), alert 1 (new) "
                 "makes room for a new one"));
    ASSERT_EQ(w.rec.got.size(), 1u) << "broadcast";
    const Alert* a = w.alerts->getAlert(kMaxAlerts + 1);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->getTitle(), "Collision on x (2 waves)");
    EXPECT_EQ(w.alerts->getAlert(1), nullptr) << "the oldest alert made room";
    EXPECT_EQ(w.alerts->alert_count, kMaxAlerts);
    EXPECT_EQ(runCollisionDetection(*w.map, *w.streaks, *w.g, *w.alerts, nullptr), 1u)
        << "a null feed is allowed";
}

TEST(Collision, NoCollisionsLogsNothing) {
    World w;
    const u32 x = w.node("x");
    w.map->activate(x, 0, 1.0f);
    LogCapture logs;
    EXPECT_EQ(w.run(), 0u);
    EXPECT_TRUE(logs.lines().empty());
    EXPECT_EQ(w.alerts->alert_count, 0u);
}

}  // namespace
}  // namespace tarvex
