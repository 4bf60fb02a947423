// log.h: one-line logging on standard error.
//
// Every message is one line "level(scope): message" written with a single
// write(2) under a process-wide mutex, so lines from different threads never
// interleave. Formatting happens in a fixed stack buffer (no allocation);
// a message longer than kMaxLine bytes is cut.
//
// Under systemd, standard error usually goes to the journal. When it does
// (JOURNAL_STREAM names the device and inode of standard error, checked once
// at start) every line is written with its syslog priority in front, "<3>"
// for errors up to "<7>" for debug, which journald takes off and keeps as
// the entry's priority, so `journalctl -p warning` works. The text itself is
// the same either way.
//
// Thread-safe: any thread may log at any time.
#pragma once

#include <atomic>
#include <string_view>

#include "common/format.h"

namespace tarvex {

enum class LogLevel : u8 { error, warning, info, debug };

constexpr size_t kMaxLogLine = 8192;

// Writes `line` plus a newline to standard error (or the capture sink), with
// the priority prefix of `level` when standard error is the journal.
void logRawLine(LogLevel level, std::string_view line);

// Test hook: while set, every line goes to `sink` (without its newline)
// instead of standard error. Pass nullptr to restore standard error.
using LogSink = void (*)(void* ctx, std::string_view line);
void setLogSink(LogSink sink, void* ctx);

std::string_view levelName(LogLevel l);

// The syslog priority of a level: 3 (error), 4 (warning), 6 (info), 7 (debug).
int levelPriority(LogLevel l);

// Whether a JOURNAL_STREAM value ("device:inode", both decimal, as systemd
// sets it) names the file open on `fd`. False for nullptr, a malformed value
// or another file.
bool journalStreamNames(const char* value, int fd);

// Test hook: lines go to `fd` instead of standard error, with the priority
// prefix exactly when JOURNAL_STREAM (read now) names `fd`. setLogOutput(2)
// goes back to standard error, checked afresh.
void setLogOutput(int fd);

template <class... A>
void logAt(LogLevel level, std::string_view scope, std::string_view pattern, const A&... args) {
    FixedText<kMaxLogLine> b;
    b.append(levelName(level));
    b.push('(');
    b.append(scope);
    b.append("): ");
    formatInto(b, pattern, args...);
    logRawLine(level, b.view());
}

template <class... A>
void logError(std::string_view scope, std::string_view pattern, const A&... args) {
    logAt(LogLevel::error, scope, pattern, args...);
}
template <class... A>
void logWarn(std::string_view scope, std::string_view pattern, const A&... args) {
    logAt(LogLevel::warning, scope, pattern, args...);
}
template <class... A>
void logInfo(std::string_view scope, std::string_view pattern, const A&... args) {
    logAt(LogLevel::info, scope, pattern, args...);
}
template <class... A>
void logDebug(std::string_view scope, std::string_view pattern, const A&... args) {
    logAt(LogLevel::debug, scope, pattern, args...);
}

// One message's repeat limit. Lines that a remote sender can cause once per
// datagram (a parser's complaint about a malformed line) are shown at most
// once a second per place in the code, each time followed by how many like it
// were left out since the last one shown, so a stream of bad input cannot
// flood the log or slow the listener down with a write per datagram. The
// same holds for a full table's refusals, which a sender causes as easily.
// Used as a function-local static: `static LogLimit limit;
// logWarnLimited(limit, ...)` (or logLimited with another level).
struct LogLimit {
    std::atomic<i64> next_ns{0};  // monotonic time from which a line may show
    std::atomic<u64> skipped{0};  // lines left out since the last one shown
    std::atomic<u32> epoch{0};    // log epoch the two above belong to
};

constexpr i64 kLogLimitIntervalNs = 1'000'000'000;

// Whether a line under `limit` may be shown now; when it may, `skipped` is
// the number left out before it. Changing the log sink starts every limit
// afresh (so each test sees its first line).
bool logLimitAllows(LogLimit& limit, u64& skipped);

template <class... A>
void logLimited(LogLimit& limit, LogLevel level, std::string_view scope, std::string_view pattern,
                const A&... args) {
    u64 skipped = 0;
    if (!logLimitAllows(limit, skipped)) return;
    logAt(level, scope, pattern, args...);
    if (skipped > 0) {
        logAt(LogLevel::info, "log", "{} more like the line above were not shown since the last",
              skipped);
    }
}

template <class... A>
void logWarnLimited(LogLimit& limit, std::string_view scope, std::string_view pattern,
                    const A&... args) {
    logLimited(limit, LogLevel::warning, scope, pattern, args...);
}

// The level a line without the level(scope) prefix is logged at: the level
// word it starts with ("warning: ..."), else error, as such lines report
// failures.
LogLevel plainLineLevel(std::string_view line);

// A line without the level(scope) prefix, e.g. "error: OutOfMemory".
template <class... A>
void logPlain(std::string_view pattern, const A&... args) {
    FixedText<kMaxLogLine> b;
    formatInto(b, pattern, args...);
    logRawLine(plainLineLevel(b.view()), b.view());
}

}  // namespace tarvex
