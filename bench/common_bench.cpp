// common_bench.cpp: the shared text helpers that sit on every event's path.
#include <benchmark/benchmark.h>

#include "common/format.h"
#include "common/mac.h"

namespace {

void BM_FormatMac(benchmark::State& state) {
    tarvex::u8 mac[6] = {0xAA, 0xBB, 0xCC, 0x01, 0x02, 0x03};
    char out[17];
    for (auto _ : state) {
        benchmark::DoNotOptimize(tarvex::formatMac(mac, out));
        mac[5]++;
    }
}
BENCHMARK(BM_FormatMac);

void BM_FormatInto(benchmark::State& state) {
    for (auto _ : state) {
        tarvex::FixedText<256> b;
        tarvex::formatInto(b, "new device {} ({}) seen {} times", "AA:BB:CC:01:02:03", 42u, 7);
        benchmark::DoNotOptimize(b.len);
    }
}
BENCHMARK(BM_FormatInto);

}  // namespace
