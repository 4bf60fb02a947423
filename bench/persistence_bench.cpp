// persistence_bench.cpp: rows per second into siem.events, one flush per
// iteration, written as the daemon writes them (the persistence thread's
// statement: one insert over arrays in a transaction), and as one VALUES list
// or one statement per row in a transaction, for comparison.
//
// Needs a database with db/schema.sql applied whose events table may grow:
//   TARVEX_BENCH_PG_URL=postgresql://... build/tarvex_bench --benchmark_filter=EventFlush
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/log.h"
#include "pg/pool.h"
#include "storage/persistence_batch.h"
#include "storage/statements.h"
#include "support/event_inserts.h"

namespace {

using namespace tarvex;

std::vector<std::string> corpusLines() {
    std::vector<std::string> lines;
    const std::string dir = std::string(TARVEX_SOURCE_DIR) + "/../shared/corpus/";
    for (const char* f : {"cef.log", "dhcp-dnsmasq.log", "dns-dnsmasq.log", "firewall-iptables.log",
                          "syslog-rfc3164.log", "syslog-rfc5424.log"}) {
        std::ifstream in(dir + f);
        std::string line;
        while (std::getline(in, line))
            if (!line.empty()) lines.push_back(line);
    }
    if (lines.empty()) lines.push_back("<13>Oct 11 22:14:15 host app: hello from 192.168.1.20");
    return lines;
}

void quiet(void*, std::string_view) {}

constexpr i64 kNow = 1733650000;

// A pool over the benchmark database, or nullptr (the benchmark skipped).
std::unique_ptr<PgPool> open(benchmark::State& state) {
    const char* url = std::getenv("TARVEX_BENCH_PG_URL");
    if (!url || !*url) {
        state.SkipWithError("TARVEX_BENCH_PG_URL is not set");
        return nullptr;
    }
    setLogSink(quiet, nullptr);
    Result<std::unique_ptr<PgPool>> p = PgPool::create(url);
    setLogSink(nullptr, nullptr);
    if (!p.ok()) {
        state.SkipWithError("cannot open the database");
        return nullptr;
    }
    return std::move(p.value);
}

std::unique_ptr<EventBatch> newBatch() {
    auto b = std::make_unique<EventBatch>();
    b->init(kNow);
    return b;
}

void fill(EventBatch& b, const std::vector<std::string>& lines, size_t& next, u32 n) {
    for (u32 i = 0; i < n; ++i) {
        b.bufferEvent(static_cast<u8>(next % 5), "192.168.1.20", lines[next % lines.size()], kNow);
        ++next;
    }
}

// The daemon's flush: one insert of the whole batch inside the transaction.
void BM_EventFlushBatched(benchmark::State& state) {
    auto pool = open(state);
    if (!pool) return;
    DbStatements statements(*pool);
    auto b = newBatch();
    std::vector<std::string> lines = corpusLines();
    size_t next = 0;
    u32 rows = static_cast<u32>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        fill(*b, lines, next, rows);
        state.ResumeTiming();
        if (!statements.writeEvents(*b).ok()) state.SkipWithError("flush failed");
        b->markFlushed(kNow);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * rows);
    pool->close();
}
BENCHMARK(BM_EventFlushBatched)->Arg(100)->Arg(256)->UseRealTime();

// The same events as one VALUES list of four parameters per row.
void BM_EventFlushValuesList(benchmark::State& state) {
    auto pool = open(state);
    if (!pool) return;
    auto batch = newBatch();
    std::vector<std::string> lines = corpusLines();
    std::vector<PgParam> params;
    size_t next = 0;
    u32 rows = static_cast<u32>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        fill(*batch, lines, next, rows);
        state.ResumeTiming();
        Result<PgLease> lease = pool->lease();
        if (!lease.ok() || lease.value->begin() != Err::None) {
            state.SkipWithError("no connection");
            break;
        }
        EventBatch& b = *batch;
        params.clear();
        u32 n = test::appendInsertParams(b, params);
        lease.value->exec(test::eventInsertSql(n).c_str(), std::span<const PgParam>(params));
        if (lease.value->commit() != Err::None) state.SkipWithError("commit failed");
        state.PauseTiming();
        lease.value.release();
        b.markFlushed(kNow);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * rows);
    pool->close();
}
BENCHMARK(BM_EventFlushValuesList)->Arg(100)->Arg(256)->UseRealTime();

// The same events, one insert statement per row inside the transaction.
void BM_EventFlushPerRow(benchmark::State& state) {
    auto pool = open(state);
    if (!pool) return;
    auto batch = newBatch();
    std::vector<std::string> lines = corpusLines();
    size_t next = 0;
    u32 rows = static_cast<u32>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        fill(*batch, lines, next, rows);
        state.ResumeTiming();
        Result<PgLease> lease = pool->lease();
        if (!lease.ok() || lease.value->begin() != Err::None) {
            state.SkipWithError("no connection");
            break;
        }
        EventBatch& b = *batch;
        for (u32 i = 0; i < b.pendingCount(); ++i) {
            const BufferedEvent& e = b.pending(i);
            lease.value->exec(test::kEventInsertOneRow,
                              {static_cast<int>(e.event_type), PgParam::textOrNull(e.getSourceIp()),
                               e.getData(), static_cast<f64>(e.timestamp)});
        }
        if (lease.value->commit() != Err::None) state.SkipWithError("commit failed");
        // Empty the ring the way a successful flush does.
        state.PauseTiming();
        lease.value.release();
        b.markFlushed(kNow);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * rows);
    pool->close();
}
BENCHMARK(BM_EventFlushPerRow)->Arg(100)->Arg(256)->UseRealTime();

}  // namespace
