// pipeline_fixture.h: a pipeline over a fresh engine state, as start-up
// makes it.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "engine/profiles.h"
#include "pipeline.h"

namespace tarvex::test {

// Owns one engine state with the built-in profiles and a pipeline over it,
// with a settable clock (seconds).
struct PipelineRig {
    std::unique_ptr<EngineState> owned;
    EngineState& state;
    Pipeline* p = new Pipeline();

    static inline i64 now = 1700000000;
    static i64 fakeClock() { return now; }

    explicit PipelineRig(u32 max_devices = 200)
        : owned(EngineState::create(max_devices)), state(*owned) {
        now = 1700000000;
        loadBuiltinProfiles(*state.fp);
        state.clock = fakeClock;
        p->init(state, nullptr, 30);
    }
    ~PipelineRig() { delete p; }
    PipelineRig(const PipelineRig&) = delete;
    PipelineRig& operator=(const PipelineRig&) = delete;

    void send(std::string_view line, std::string_view from = "192.168.1.1") {
        ExclusiveGuard hold(state.lock);
        p->processEvent(line, from);
    }
    const Node* node(std::string_view name, NodeType t) const {
        return state.graph->findNode(name, t);
    }
    const Edge* edge(std::string_view a, NodeType ta, std::string_view b, NodeType tb,
                     EdgeType et) const {
        const Node* na = node(a, ta);
        const Node* nb = node(b, tb);
        if (!na || !nb) return nullptr;
        return state.graph->findEdge(na->id, nb->id, et);
    }
};

}  // namespace tarvex::test
