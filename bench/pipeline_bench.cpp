// pipeline_bench.cpp: processEvent over a mix of real log lines, on an empty
// state and on a populated one (thousands of devices, ten thousand nodes, a
// hundred thousand edges), and populated with 16384 threat indicators loaded.
#include <benchmark/benchmark.h>

#include <fstream>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/table.h"
#include "intel/indicator_feed.h"
#include "intel/indicators.h"
#include "pipeline/pipeline_fixture.h"

namespace {

using tarvex::test::PipelineRig;

std::vector<std::string> corpusMix() {
    std::vector<std::string> lines;
    const std::string dir = std::string(TARVEX_SOURCE_DIR) + "/../shared/corpus/";
    for (const char* f : {"cef.log", "dhcp-dnsmasq.log", "dhcp-iscdhcpd.log", "dns-bind.log",
                          "dns-dnsmasq.log", "firewall-iptables.log", "firewall-pfsense.log",
                          "syslog-rfc3164.log", "syslog-rfc5424.log"}) {
        std::ifstream in(dir + f);
        std::string line;
        while (std::getline(in, line))
            if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

void quiet(void*, std::string_view) {}

void populate(PipelineRig& rig) {
    using namespace tarvex;
    char name[32];
    for (u32 d = 0; d < 3000; ++d) {
        u8 mac[6] = {0x3c,
                     0x22,
                     0xfb,
                     static_cast<u8>(d >> 16),
                     static_cast<u8>(d >> 8),
                     static_cast<u8>(d)};
        rig.state.fp->observeSignal(mac, SignalType::manufacturer, "3C:22:FB");
    }
    rig.state.fp->device_limit = 4096;
    for (u32 n = 0; n < 10000; ++n) {
        int len = std::snprintf(name, sizeof name, "10.%u.%u.%u", n >> 16, (n >> 8) & 255, n & 255);
        rig.state.graph->addNode(std::string_view(name, static_cast<size_t>(len)),
                                 NodeType::ip_address);
    }
    for (u32 e = 0; e < 100000; ++e) {
        rig.state.graph->addEdge(e % 10000, (e * 7919 + 13) % 10000, EdgeType::communicates_with,
                                 0.5f);
    }
}

// 16384 indicators as threat lists give them: addresses, networks of a few
// prefix lengths, domains, URLs and hashes; one domain the sample logs ask
// for, so matches and their alerts are part of the run.
void loadIndicators(tarvex::IndicatorStore& store) {
    using namespace tarvex;
    std::string text;
    char line[96];
    for (u32 i = 0; i < 8192; ++i) {
        std::snprintf(line, sizeof line, "%u.%u.%u.%u\n", 45 + (i >> 14), (i >> 8) & 63, i & 255,
                      7 + (i & 3));
        text += line;
    }
    const unsigned lengths[] = {16, 20, 24, 28};
    for (u32 i = 0; i < 2048; ++i) {
        std::snprintf(line, sizeof line, "%u.%u.%u.0/%u\n", 80 + (i >> 8), i & 255, (i * 16) & 255,
                      lengths[i & 3]);
        text += line;
    }
    for (u32 i = 0; i < 4095; ++i) {
        std::snprintf(line, sizeof line, "c%u.bad-domain%u.example\n", i, i % 97);
        text += line;
    }
    text += "ubuntu.com\n";
    for (u32 i = 0; i < 1024; ++i) {
        std::snprintf(line, sizeof line, "http://dl%u.example/payload%u.exe\n", i % 31, i);
        text += line;
    }
    for (u32 i = 0; i < 1024; ++i) {
        std::snprintf(line, sizeof line, "%08x%08x%08x%08x\n", i, i * 2654435761u, ~i, i ^ 0x5a5a);
        text += line;
    }
    std::vector<Indicator> items(kMaxIndicators);
    FeedResult r = parseIndicatorFeed(text, FeedDefaults{}, items.data(), kMaxIndicators);
    store.importIndicators(items.data(), r.count, true);
}

void runMix(benchmark::State& state, bool populated, bool indicators = false) {
    static const std::vector<std::string> lines = corpusMix();
    if (lines.empty()) {
        state.SkipWithError("no sample logs");
        return;
    }
    tarvex::setLogSink(quiet, nullptr);
    PipelineRig rig(4096);
    if (populated) populate(rig);
    tarvex::IndicatorStore* store = nullptr;
    if (indicators) {
        store = tarvex::mapZeroed<tarvex::IndicatorStore>();
        store->initInPlace();
        store->attach(&rig.state);
        loadIndicators(*store);
        if (rig.state.indicators->size() != tarvex::kMaxIndicators) {
            state.SkipWithError("not every indicator was indexed");
            tarvex::unmapTable(store);
            return;
        }
    }
    size_t i = 0;
    tarvex::ExclusiveGuard hold(rig.state.lock);
    for (auto _ : state) {
        rig.p->processEvent(lines[i], "192.168.1.1");
        if (++i == lines.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
    tarvex::setLogSink(nullptr, nullptr);
    if (store) tarvex::unmapTable(store);
}

void BM_ProcessEventEmpty(benchmark::State& state) {
    runMix(state, false);
}
void BM_ProcessEventPopulated(benchmark::State& state) {
    runMix(state, true);
}
// The populated state with 16384 indicators loaded: the cost of matching.
void BM_ProcessEventPopulatedIndicators(benchmark::State& state) {
    runMix(state, true, true);
}
BENCHMARK(BM_ProcessEventEmpty);
BENCHMARK(BM_ProcessEventPopulated);
BENCHMARK(BM_ProcessEventPopulatedIndicators);

}  // namespace
