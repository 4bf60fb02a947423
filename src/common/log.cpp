// log.cpp: the process-wide standard-error writer.
#include "common/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include "common/clock.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace tarvex {

namespace {
std::mutex g_log_mutex;
LogSink g_sink = nullptr;
void* g_sink_ctx = nullptr;
std::atomic<u32> g_epoch{1};

// Where lines go without a sink, under g_log_mutex. Constant-initialised, so
// a line logged before this file's dynamic initialisation still reaches
// standard error (without the prefix).
struct LogOutput {
    int fd = 2;
    bool journal = false;  // write the "<N>" priority prefix
};
LogOutput g_output;

bool journalFor(int fd) {
    return journalStreamNames(std::getenv("JOURNAL_STREAM"), fd);
}

// Checked once at start, before main() and any thread: the environment is
// read while nothing can change it.
[[maybe_unused]] const bool g_output_checked = [] {
    g_output.journal = journalFor(g_output.fd);
    return true;
}();

// Reads a decimal u64 from the front of s, up to `stop` (or the end).
// False when there is no digit, a non-digit before `stop`, or overflow.
bool readDecimal(const char*& s, char stop, u64& out) {
    out = 0;
    const char* start = s;
    for (; *s != stop; ++s) {
        if (*s < '0' || *s > '9') return false;
        const u64 digit = static_cast<u64>(*s - '0');
        if (out > (UINT64_MAX - digit) / 10) return false;
        out = out * 10 + digit;
    }
    return s != start;
}

}  // namespace

bool journalStreamNames(const char* value, int fd) {
    if (value == nullptr) return false;
    u64 dev = 0;
    u64 ino = 0;
    const char* p = value;
    if (!readDecimal(p, ':', dev)) return false;
    ++p;  // the colon
    if (!readDecimal(p, '\0', ino)) return false;
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    return static_cast<u64>(st.st_dev) == dev && static_cast<u64>(st.st_ino) == ino;
}

void setLogOutput(int fd) {
    const bool journal = journalFor(fd);
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_output.fd = fd;
    g_output.journal = journal;
}

int levelPriority(LogLevel l) {
    switch (l) {
        case LogLevel::error:
            return 3;
        case LogLevel::warning:
            return 4;
        case LogLevel::info:
            return 6;
        case LogLevel::debug:
            return 7;
    }
    return 6;
}

LogLevel plainLineLevel(std::string_view line) {
    const LogLevel levels[] = {LogLevel::error, LogLevel::warning, LogLevel::info, LogLevel::debug};
    for (LogLevel l : levels) {
        std::string_view name = levelName(l);
        if (line.substr(0, name.size()) == name && line.size() > name.size() &&
            (line[name.size()] == ':' || line[name.size()] == '(')) {
            return l;
        }
    }
    return LogLevel::error;
}

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

void logRawLine(LogLevel level, std::string_view line) {
    constexpr size_t kPrefix = 3;  // "<N>"
    char buf[kPrefix + kMaxLogLine + 1];
    const size_t len = line.size() < kMaxLogLine ? line.size() : kMaxLogLine;
    std::lock_guard<std::mutex> lock(g_log_mutex);
    if (g_sink) {
        g_sink(g_sink_ctx, line.substr(0, len));
        return;
    }
    size_t n = 0;
    if (g_output.journal) {
        buf[n++] = '<';
        buf[n++] = static_cast<char>('0' + levelPriority(level));
        buf[n++] = '>';
    }
    std::memcpy(buf + n, line.data(), len);
    n += len;
    buf[n++] = '\n';
    size_t off = 0;
    while (off < n) {
        ssize_t w = ::write(g_output.fd, buf + off, n - off);
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
