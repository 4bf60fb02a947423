// api_bench.cpp: every read endpoint's default page over full tables.
//
// Tables: 4096 devices (half seen within the hour), 16384 graph nodes (a
// device node per device, the rest local addresses), 131072 edges (each
// device assigned to its own address, eight edges out of every node), 4096
// alerts with scattered creation times, 8192 raw events in the ring, 360
// statistics snapshots. Handlers are called in-process through the route
// table, each with a fresh request arena, as a pool thread would run them.
// Ring-walking endpoints are measured with typical lines (about 160 bytes)
// and with lines filling the 2048-byte slots (argument: line length).
#include <benchmark/benchmark.h>

#include <cctype>
#include <cstdio>
#include <random>
#include <string>

#include "common/clock.h"
#include "common/log.h"
#include "common/mac.h"
#include "support/api_call.h"

namespace {

using namespace tarvex;
using tarvex::test::ApiReply;
using tarvex::test::PipelineRig;

constexpr u32 kDevices = 4096;

MacAddr deviceMac(u32 i) {
    return MacAddr{{0x00, 0x11, 0x22, 0x33, static_cast<u8>(i >> 8), static_cast<u8>(i)}};
}

std::string addressName(u32 i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "10.%u.%u.%u", (i >> 16) & 255, (i >> 8) & 255, i & 255);
    return buf;
}

struct FullState {
    PipelineRig rig{kDevices};
    ServerState st{};
    i64 now = wallSeconds();
    size_t ring_line = 0;

    FullState() {
        // Filling logs a line per alert; keep them off the report.
        setLogSink([](void*, std::string_view) {}, nullptr);
        PipelineRig::now = now;
        st = test::stateOf(rig);
        std::mt19937 rng(11);
        FingerprintEngine& fp = *rig.state.fp;
        Graph& g = *rig.state.graph;
        for (u32 i = 0; i < kDevices; ++i) {
            MacAddr m = deviceMac(i);
            fp.observeSignal(m.b, SignalType::manufacturer, "00:11:22");
            char host[32];
            std::snprintf(host, sizeof host, "host-%u", i % 300);
            fp.observeSignal(m.b, SignalType::hostname, host);
            DeviceFingerprint* d = fp.findDevice(m.b);
            std::snprintf(host, sizeof host, "device-%u", i);
            d->setLabel(host);
            d->confidence = static_cast<f32>(rng() % 1000) / 1000.0f;
            d->last_seen = now - static_cast<i64>(rng() % 7200);
            g.addNode(macToString(m.b).view(), NodeType::device);
        }
        for (u32 i = kDevices; i < kMaxNodes; ++i) {
            u32 id = *g.addNode(addressName(i), NodeType::ip_address);
            g.nodes[id].last_activated = now - static_cast<i64>(rng() % 7200);
            g.nodes[id].access_count = rng() % 100;
        }
        for (u32 s = 0; s < kMaxNodes; ++s) {
            u32 k = 0;
            if (s < kDevices) {
                g.addEdge(s, kDevices + s, EdgeType::assigned_to, 0.9f);
                k = 1;
            }
            for (; k < 8; ++k) {
                const u32 t = (s + 1 + k + 8 * (rng() % 2000)) % kMaxNodes;
                g.addEdge(s, t, EdgeType::communicates_with, 0.5f);
            }
        }
        for (u32 i = 0; i < kMaxAlerts; ++i) {
            MacAddr m = deviceMac(i);
            char title[96];
            std::snprintf(title, sizeof title, "Threat Detected - 203.0.113.%u to %s:443/TCP",
                          i % 250, addressName(kDevices + i).c_str());
            u32 id =
                rig.state.alerts->createAlert(title, "Threat Detected and Blocked",
                                              static_cast<AlertSeverity>(i % 5), 0.25f, m.b, i % 4);
            Alert& a = *rig.state.alerts->getAlert(id);
            a.status = static_cast<AlertStatus>((i / 5) % 5);
            a.created_at = now - static_cast<i64>(rng() % 86400);
            char src[32];
            std::snprintf(src, sizeof src, "203.0.113.%u", i % 250);
            a.setSourceIp(src);
            a.setDestIp(addressName(kDevices + i));
            a.setEvidence("Threat Detected: the evidence text of one alert.\n");
        }
        for (u32 k = 0; k < kHistoryCapacity + 5; ++k) {
            rig.state.counters.events_processed += 100;
            rig.p->recordSnapshot(now - 5 * (kHistoryCapacity + 5) + 5 * k);
        }
        fillRing(160);
        setLogSink(nullptr, nullptr);
    }

    // Refills the ring with 8192 lines of about `len` bytes, from and about
    // the device addresses.
    void fillRing(size_t len) {
        if (ring_line == len) return;
        ring_line = len;
        for (u32 k = 0; k < kRingCapacity; ++k) {
            const std::string from = addressName(kDevices + k % 12288);
            std::string line =
                "<134>Dec  8 05:00:02 gw CEF:0|Ubiquiti|UniFi Network|10.0|201|"
                "Threat Detected|8|proto=TCP src=" +
                from + " dst=192.0.2." + std::to_string(k % 250) + " dpt=443 ";
            while (line.size() < len) line += "UNIFIcategory=Security ";
            line.resize(len);
            RawEvent& e = rig.state.ring->push(line, "192.168.1.1", now - (kRingCapacity - k) / 10);
            e.event_type = static_cast<u8>(k % 6);
        }
    }
};

FullState& state() {
    static FullState* s = new FullState();
    return *s;
}

void runEndpoint(benchmark::State& bs, const std::string& target, size_t ring_line = 160) {
    FullState& fs = state();
    fs.fillRing(ring_line);
    size_t bytes = 0;
    for (auto _ : bs) {
        ApiReply r = test::callApi(fs.st, target);
        if (r.status == 0 || r.err != Err::None) bs.SkipWithError("handler failed");
        bytes = r.body.size();
        benchmark::DoNotOptimize(r.body.data());
    }
    bs.counters["body_bytes"] = static_cast<double>(bytes);
}

void registerAll() {
    struct Row {
        const char* name;
        std::string target;
        bool ring;
    };
    const std::string mac(macToString(deviceMac(77).b).view());
    std::string lower = mac;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const Row rows[] = {
        {"ListDevices/active", "/api/devices", false},
        {"ListDevices/inactive", "/api/devices?status=inactive", false},
        {"ListDevices/searchNoMatch", "/api/devices?search=zzz", false},
        {"ListDevices/limit500", "/api/devices?limit=500", false},
        {"GetDevice/nodeName", "/api/devices/" + mac, true},
        {"GetDevice/lowerCaseAddress", "/api/devices/" + lower, true},
        {"GetDevice/label", "/api/devices/device-4000", true},
        {"GetDevice/address", "/api/devices/" + addressName(kDevices + 5), true},
        {"DeviceActivity", "/api/devices/" + addressName(kDevices + 5) + "/activity", true},
        {"SimilarDevices", "/api/devices/" + mac + "/similar", false},
        {"DeviceBaseline", "/api/devices/" + mac + "/baseline", false},
        {"Graph/default", "/api/graph", false},
        {"Graph/limit10000", "/api/graph?limit=10000", false},
        {"ListAlerts/default", "/api/alerts", false},
        {"ListAlerts/filtered", "/api/alerts?severity=high,critical&status=new&search=10.0", false},
        {"ListAlerts/limit500", "/api/alerts?limit=500", false},
        {"GetAlert/related", "/api/alerts/100", true},
        {"Stats", "/api/stats", false},
        {"StatsHistory", "/api/stats/history", false},
        {"SearchEvents/default", "/api/events/search", true},
        {"SearchEvents/noMatch", "/api/events/search?q=zzz", true},
        {"SearchEvents/limit500", "/api/events/search?limit=500", true},
    };
    for (const Row& r : rows) {
        const std::string target = r.target;
        if (!r.ring) {
            benchmark::RegisterBenchmark(r.name, [target](benchmark::State& bs) {
                runEndpoint(bs, target);
            })->Unit(benchmark::kMicrosecond);
            continue;
        }
        for (size_t len : {160, 2048}) {
            benchmark::RegisterBenchmark(
                (std::string(r.name) + "/line" + std::to_string(len)).c_str(),
                [target, len](benchmark::State& bs) { runEndpoint(bs, target, len); })
                ->Unit(benchmark::kMicrosecond);
        }
    }
}

const bool registered = (registerAll(), true);

}  // namespace
