// log.cpp: the process-wide standard-error writer.
#include "common/log.h"

#include <unistd.h>

#include "common/clock.h"

#include <cerrno>
#include <mutex>

namespace tarvex {

namespace {
std::mutex g_log_mutex;
LogSink g_sink = nullptr;
void* g_sink_ctx = nullptr;
std::atomic<u32> g_epoch{1};
}  // namespace

bool logLimitAllows(LogLimit& limit, u64& skipped) {
    const u32 epoch = g_epoch.load(std::memory_order_relaxed);
    if (limit.epoch.load(std::memory_order_relaxed) != epoch) {
        limit.next_ns.store(0, std::memory_order_relaxed);
        limit.skipped.store(0, std::memory_order_relaxed);
        limit.epoch.store(epoch, std::memory_order_relaxed);
    }
    const i64 now = monoNanos();
    i64 due = limit.next_ns.load(std::memory_order_relaxed);
    if (now < due || !limit.next_ns.compare_exchange_strong(due, now + kLogLimitIntervalNs,
                                                            std::memory_order_relaxed)) {
        limit.skipped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    skipped = limit.skipped.exchange(0, std::memory_order_relaxed);
    return true;
}

std::string_view levelName(LogLevel l) {
    switch (l) {
        case LogLevel::error:
            return "error";
        case LogLevel::warning:
            return "warning";
        case LogLevel::info:
            return "info";
        case LogLevel::debug:
            return "debug";
    }
    return "info";
}

void logRawLine(std::string_view line) {
    char buf[kMaxLogLine + 1];
    size_t n = line.size() < kMaxLogLine ? line.size() : kMaxLogLine;
    std::lock_guard<std::mutex> lock(g_log_mutex);
    if (g_sink) {
        g_sink(g_sink_ctx, line.substr(0, n));
        return;
    }
    std::memcpy(buf, line.data(), n);
    buf[n++] = '\n';
    size_t off = 0;
    while (off < n) {
        ssize_t w = ::write(2, buf + off, n - off);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;
        }
        off += static_cast<size_t>(w);
    }
}

void setLogSink(LogSink sink, void* ctx) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_sink = sink;
    g_sink_ctx = ctx;
    g_epoch.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace tarvex
