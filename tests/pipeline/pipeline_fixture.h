// pipeline_fixture.h: a pipeline over freshly mapped, zero-filled tables.
#pragma once

#include <string>
#include <string_view>

#include "common/table.h"
#include "engine/profiles.h"
#include "pipeline.h"

namespace tarvex::test {

// Owns one full set of engine tables and a pipeline over them, with a
// settable clock (seconds).
struct PipelineRig {
    FingerprintEngine* fp = mapZeroed<FingerprintEngine>();
    Graph* graph = mapZeroed<Graph>();
    ActivationMap* act = mapZeroed<ActivationMap>();
    StreakTracker* streaks = mapZeroed<StreakTracker>();
    AlertManager* alerts = mapZeroed<AlertManager>();
    RingBuffer* ring = mapZeroed<RingBuffer>();
    BaselineEngine* baseline = mapZeroed<BaselineEngine>();
    Pipeline* p = new Pipeline();

    static inline i64 now = 1700000000;
    static i64 fakeClock() { return now; }

    explicit PipelineRig(u32 max_devices = 200) {
        now = 1700000000;
        fp->init(max_devices);
        loadBuiltinProfiles(*fp);
        alerts->init();
        baseline->init();
        p->init(*fp, *graph, *act, *streaks, *baseline, *alerts, *ring, nullptr, 30);
        p->clock = fakeClock;
    }
    ~PipelineRig() {
        delete p;
        unmapTable(fp);
        unmapTable(graph);
        unmapTable(act);
        unmapTable(streaks);
        unmapTable(alerts);
        unmapTable(ring);
        unmapTable(baseline);
    }
    PipelineRig(const PipelineRig&) = delete;
    PipelineRig& operator=(const PipelineRig&) = delete;

    void send(std::string_view line, std::string_view from = "192.168.1.1") {
        ExclusiveGuard hold(p->state_lock);
        p->processEvent(line, from);
    }
    const Node* node(std::string_view name, NodeType t) const { return graph->findNode(name, t); }
    const Edge* edge(std::string_view a, NodeType ta, std::string_view b, NodeType tb,
                     EdgeType et) const {
        const Node* na = node(a, ta);
        const Node* nb = node(b, tb);
        if (!na || !nb) return nullptr;
        return graph->findEdge(na->id, nb->id, et);
    }
};

}  // namespace tarvex::test
