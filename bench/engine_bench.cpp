// engine_bench.cpp: the behavioural engines at full tables, each operation
// beside the plain slot scan it replaces (tests/engine/*_reference.h).
//
// Graph: 16384 nodes, 131072 edges (eight outgoing edges per node to
// pseudo-random targets). Fingerprints: 4096 devices, the 27 built-in
// profiles. Pairs named X and X_Scan are measured in the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/table.h"
#include "engine/fingerprint.h"
#include "engine/fingerprint_reference.h"
#include "engine/graph.h"
#include "engine/graph_reference.h"
#include "engine/profiles.h"

namespace {

using namespace tarvex;

std::string nodeName(u32 i) {
    char buf[32];
    const int n = std::snprintf(buf, sizeof buf, "192.168.%u.%u", i / 256, i % 256);
    return std::string(buf, static_cast<size_t>(n));
}

struct FullGraphs {
    Graph* g = mapZeroed<Graph>();
    test::ScanGraph ref;
    std::vector<std::string> names;
    struct Key {
        u32 s, t;
    };
    std::vector<Key> edges;

    FullGraphs() {
        for (u32 i = 0; i < kMaxNodes; ++i) {
            names.push_back(nodeName(i));
            g->addNode(names.back(), NodeType::ip_address);
            ref.addNode(names.back(), NodeType::ip_address);
        }
        std::mt19937 rng(7);
        for (u32 s = 0; s < kMaxNodes; ++s) {
            for (u32 k = 0; k < 8; ++k) {
                // Distinct targets per source: s + 1 + k + 8 * r never repeats for one s.
                const u32 t = (s + 1 + k + 8 * (rng() % 2000)) % kMaxNodes;
                g->addEdge(s, t, EdgeType::communicates_with, 0.5f);
                ref.loadEdge(s, t, EdgeType::communicates_with, 0.5f);
                edges.push_back({s, t});
            }
        }
    }
};

FullGraphs& graphs() {
    static FullGraphs f;
    return f;
}

void BM_FindNode(benchmark::State& st) {
    FullGraphs& f = graphs();
    u32 i = 0;
    for (auto _ : st) {
        benchmark::DoNotOptimize(f.g->findNode(f.names[i], NodeType::ip_address));
        i = (i + 7919) % kMaxNodes;
    }
}
BENCHMARK(BM_FindNode);

void BM_FindNode_Scan(benchmark::State& st) {
    FullGraphs& f = graphs();
    u32 i = 0;
    for (auto _ : st) {
        benchmark::DoNotOptimize(f.ref.findNode(f.names[i], NodeType::ip_address));
        i = (i + 7919) % kMaxNodes;
    }
}
BENCHMARK(BM_FindNode_Scan);

// Adding an edge that exists (the table is full): find it and reinforce.
void BM_AddEdge(benchmark::State& st) {
    FullGraphs& f = graphs();
    u32 i = 0;
    for (auto _ : st) {
        const auto& e = f.edges[i];
        benchmark::DoNotOptimize(f.g->addEdge(e.s, e.t, EdgeType::communicates_with, 0.0f));
        i = (i + 104729) % kMaxEdges;
    }
}
BENCHMARK(BM_AddEdge);

void BM_AddEdge_Scan(benchmark::State& st) {
    FullGraphs& f = graphs();
    u32 i = 0;
    for (auto _ : st) {
        const auto& e = f.edges[i];
        benchmark::DoNotOptimize(f.ref.addEdge(e.s, e.t, EdgeType::communicates_with, 0.0f));
        i = (i + 104729) % kMaxEdges;
    }
}
BENCHMARK(BM_AddEdge_Scan);

void BM_GetNeighbors(benchmark::State& st) {
    FullGraphs& f = graphs();
    Neighbor out[kMaxNeighbors];
    u32 i = 0;
    for (auto _ : st) {
        benchmark::DoNotOptimize(f.g->getNeighbors(i, 0.0f, out));
        i = (i + 7919) % kMaxNodes;
    }
}
BENCHMARK(BM_GetNeighbors);

void BM_GetNeighbors_Scan(benchmark::State& st) {
    FullGraphs& f = graphs();
    test::ScanNeighbor out[kMaxNeighbors];
    u32 i = 0;
    for (auto _ : st) {
        benchmark::DoNotOptimize(f.ref.getNeighbors(i, 0.0f, out));
        i = (i + 7919) % kMaxNodes;
    }
}
BENCHMARK(BM_GetNeighbors_Scan);

void BM_NodeDegree(benchmark::State& st) {
    FullGraphs& f = graphs();
    u32 i = 0;
    for (auto _ : st) {
        benchmark::DoNotOptimize(f.g->nodeDegree(i));
        i = (i + 7919) % kMaxNodes;
    }
}
BENCHMARK(BM_NodeDegree);

void BM_NodeDegree_Scan(benchmark::State& st) {
    FullGraphs& f = graphs();
    u32 i = 0;
    for (auto _ : st) {
        benchmark::DoNotOptimize(f.ref.nodeDegree(i));
        i = (i + 7919) % kMaxNodes;
    }
}
BENCHMARK(BM_NodeDegree_Scan);

// --- fingerprints ---------------------------------------------------------

struct Mac6 {
    u8 b[6];
};

Mac6 deviceMac(u32 i) {
    return Mac6{{0x3C, 0x22, 0xFB, 0x00, static_cast<u8>(i >> 8), static_cast<u8>(i)}};
}

// The scanning baseline: a plain device list searched in slot order, with
// the per-bit weighted bundle.
struct ScanDevice {
    u8 mac[6];
    ConceptVector vector;
    u32 signal_count;
};

struct FullDevices {
    FingerprintEngine* e = mapZeroed<FingerprintEngine>();
    std::vector<ScanDevice> ref;
    std::vector<std::string> values;

    FullDevices() {
        e->init(kMaxDevices);
        setLogSink([](void*, std::string_view) {}, nullptr);  // keep the profile line quiet
        loadBuiltinProfiles(*e);
        setLogSink(nullptr, nullptr);
        for (u32 i = 0; i < 64; ++i) values.push_back(nodeName(i) + ".example.net");
        ref.resize(kMaxDevices);
        for (u32 i = 0; i < kMaxDevices; ++i) {
            const Mac6 m = deviceMac(i);
            for (u32 k = 0; k < 3; ++k) e->observeSignal(m.b, SignalType::dns_behavior, values[k]);
            std::memcpy(ref[i].mac, m.b, 6);
            ref[i].vector = e->findDevice(m.b)->vector;
            ref[i].signal_count = 3;
        }
    }
    ScanDevice* scanFind(const u8 mac[6]) {
        for (ScanDevice& d : ref)
            if (std::memcmp(d.mac, mac, 6) == 0) return &d;
        return nullptr;
    }
};

FullDevices& devices() {
    static FullDevices f;
    return f;
}

void BM_ObserveSignal(benchmark::State& st) {
    FullDevices& f = devices();
    u32 i = 0;
    for (auto _ : st) {
        const Mac6 m = deviceMac(i % kMaxDevices);
        f.e->observeSignal(m.b, SignalType::dns_behavior, f.values[i % 64]);
        i += 2731;
    }
}
BENCHMARK(BM_ObserveSignal);

void BM_ObserveSignal_Scan(benchmark::State& st) {
    FullDevices& f = devices();
    u32 i = 0;
    for (auto _ : st) {
        const Mac6 m = deviceMac(i % kMaxDevices);
        ScanDevice* d = f.scanFind(m.b);
        const ConceptVector fact = encodeSignal(SignalType::dns_behavior, f.values[i % 64]);
        test::referenceWeightedBundle(d->vector, fact, d->signal_count);
        if (d->signal_count < 255) ++d->signal_count;
        benchmark::DoNotOptimize(d->vector.words[0]);
        i += 2731;
    }
}
BENCHMARK(BM_ObserveSignal_Scan);

void BM_Identify(benchmark::State& st) {
    FullDevices& f = devices();
    u32 i = 0;
    for (auto _ : st) {
        const Mac6 m = deviceMac(i % kMaxDevices);
        benchmark::DoNotOptimize(f.e->tryIdentifyDevice(m.b));
        i += 2731;
    }
}
BENCHMARK(BM_Identify);

// Identification itself is one distance per profile either way; the scan
// differs in finding the device.
void BM_Identify_Scan(benchmark::State& st) {
    FullDevices& f = devices();
    u32 i = 0;
    for (auto _ : st) {
        const Mac6 m = deviceMac(i % kMaxDevices);
        const ScanDevice* d = f.scanFind(m.b);
        u32 best_idx = 0;
        f32 best = -1.0f;
        for (u32 p = 0; p < f.e->profile_count; ++p) {
            const f32 s = ConceptVector::similarity(d->vector, f.e->profiles[p].vector);
            if (s > best) {
                best = s;
                best_idx = p;
            }
        }
        benchmark::DoNotOptimize(best_idx);
        i += 2731;
    }
}
BENCHMARK(BM_Identify_Scan);

}  // namespace
