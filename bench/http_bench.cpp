// http_bench.cpp: the per-request work of the HTTP engine outside the kernel:
// parsing, routing and writing a response head and JSON.
#include <benchmark/benchmark.h>

#include <string>

#include "api/json.h"
#include "api/routes.h"
#include "http/message.h"
#include "http/request.h"
#include "http/router.h"

namespace {

using namespace tarvex;

const std::string kRequest =
    "GET /api/health HTTP/1.1\r\nHost: 127.0.0.1:3000\r\nUser-Agent: Mozilla/5.0 (X11; Linux "
    "x86_64)\r\nAccept: application/json\r\nAccept-Encoding: gzip, deflate\r\nConnection: "
    "keep-alive\r\n\r\n";

void BM_ParseRequest(benchmark::State& state) {
    RequestHead head;
    for (auto _ : state) {
        ParseResult r = parseRequest(kRequest, head);
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRequest.size()));
}
BENCHMARK(BM_ParseRequest);

Err handler(void*, HttpRequest&, HttpResponse&) {
    return Err::None;
}

void BM_RouteMatch(benchmark::State& state) {
    static const char* kPaths[] = {
        "/api/health",        "/api/devices",    "/api/devices/:id",    "/api/devices/:id/activity",
        "/api/alerts",        "/api/alerts/:id", "/api/graph",          "/api/stats",
        "/api/stats/history", "/api/ws",         "/api/cases/:id/notes"};
    Router r;
    for (const char* p : kPaths) r.get(p, handler);
    HttpRequest req;
    for (auto _ : state) {
        benchmark::DoNotOptimize(r.match(Method::get, "/api/cases/12/notes", req));
    }
}
BENCHMARK(BM_RouteMatch);

void BM_ResponseHeadAndHealthBody(benchmark::State& state) {
    char scratch[kHandlerScratchBytes];
    char head[512];
    for (auto _ : state) {
        Arena arena(scratch, sizeof scratch);
        HttpResponse res(&arena);
        ServerState st{};
        HttpRequest req;
        handleHealth(st, req, res);
        size_t n = writeResponseHead(res, res.body().size(), {}, head, sizeof head);
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_ResponseHeadAndHealthBody);

void BM_WriteJsonStr(benchmark::State& state) {
    char scratch[kHandlerScratchBytes];
    const std::string text =
        "Possible lateral movement from 192.168.1.20 to \"nas\" \xE2\x80\x94 3 waves";
    for (auto _ : state) {
        Arena arena(scratch, sizeof scratch);
        BodyWriter w(&arena);
        writeJsonStr(w, text);
        benchmark::DoNotOptimize(w.size());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_WriteJsonStr);

}  // namespace
