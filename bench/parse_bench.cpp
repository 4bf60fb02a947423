// parse_bench.cpp: classify-and-parse throughput over the shared sample logs.
//
// Each format group runs every line of its sample files through
// classifyAndParse (the wall-clock entry the listener uses); "mixed" takes
// the lines of all files in turn. Items are lines, so the reported rate is
// lines per second on one core. A group whose files are missing is skipped.
// Parser warnings (lines without a PRI, broken CEF headers) go to a no-op log
// sink so that the figure measures parsing, not terminal output.
#include <benchmark/benchmark.h>

#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "common/log.h"
#include "ingest/classify.h"

namespace {

std::string corpusPath(const char* file) {
    return std::string(TARVEX_SOURCE_DIR) + "/../shared/corpus/" + file;
}

std::vector<std::string> readLines(const char* file) {
    std::ifstream in(corpusPath(file), std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

void runLines(benchmark::State& state, const std::vector<std::string>& lines) {
    tarvex::setLogSink([](void*, std::string_view) {}, nullptr);
    size_t bytes = 0;
    for (const auto& l : lines) bytes += l.size();
    for (auto _ : state) {
        for (const std::string& line : lines) {
            tarvex::ParsedEvent ev = tarvex::ingest::classifyAndParse(line);
            benchmark::DoNotOptimize(ev);
        }
    }
    tarvex::setLogSink(nullptr, nullptr);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * lines.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

struct Group {
    const char* name;
    std::vector<const char*> files;
};

const std::vector<Group> kGroups = {
    {"syslog", {"syslog-rfc3164.log", "syslog-rfc5424.log", "syslog-rfc3164-nopri.log"}},
    {"cef", {"cef.log"}},
    {"dhcp", {"dhcp-dnsmasq.log", "dhcp-iscdhcpd.log"}},
    {"dns", {"dns-dnsmasq.log", "dns-bind.log"}},
    {"firewall", {"firewall-iptables.log", "firewall-pfsense.log"}},
};

int registerAll() {
    std::vector<std::vector<std::string>> per_file;
    for (const Group& g : kGroups) {
        auto* lines = new std::vector<std::string>();  // lives for the process
        for (const char* f : g.files) {
            std::vector<std::string> more = readLines(f);
            if (!more.empty()) per_file.push_back(more);
            lines->insert(lines->end(), more.begin(), more.end());
        }
        if (lines->empty()) continue;
        benchmark::RegisterBenchmark((std::string("BM_ClassifyAndParse/") + g.name).c_str(),
                                     [lines](benchmark::State& s) { runLines(s, *lines); });
    }
    if (per_file.empty()) return 0;
    // Interleave the files line by line, as a busy gateway's mixed stream.
    auto* mixed = new std::vector<std::string>();
    for (size_t i = 0;; ++i) {
        bool any = false;
        for (const auto& f : per_file) {
            if (i < f.size()) {
                mixed->push_back(f[i]);
                any = true;
            }
        }
        if (!any) break;
    }
    benchmark::RegisterBenchmark("BM_ClassifyAndParse/mixed",
                                 [mixed](benchmark::State& s) { runLines(s, *mixed); });
    return 0;
}

const int kRegistered = registerAll();

}  // namespace
