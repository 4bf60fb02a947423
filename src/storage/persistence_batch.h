// persistence_batch.h: the ring of events waiting to be written to the
// database, and the text helpers of the write path.
//
// EventBatch holds up to 256 events between flushes. When more arrive before
// a flush succeeds, the newest overwrite the oldest, so a flush after an
// outage writes the 256 most recent events, oldest first. A flush is due at
// 100 buffered events or 5 s after the last successful one.
//
// Not synchronised: one thread (the one that buffers and flushes) owns it.
// No allocation: the ring is inline and zero-initialised.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "common/text.h"
#include "common/types.h"
#include "pg/param.h"

namespace tarvex {

struct BufferedEvent {
    i64 timestamp;  // wall-clock seconds when buffered
    u16 raw_data_len;
    u8 event_type;  // EventType number: 0 syslog, 1 CEF, 2 DHCP, 3 DNS, 4 firewall
    char source_ip[46];
    u8 source_ip_len;
    char raw_data[2048];

    std::string_view getSourceIp() const;
    std::string_view getData() const;
};

struct EventBatch {
    static constexpr u32 kSlots = 256;

    BufferedEvent events[kSlots];
    i64 last_flush;         // seconds of the last successful flush
    u64 flush_interval_ms;  // 5000
    u64 event_count;        // buffered since the last successful flush
    u32 batch_size;         // 100

    // Empties the ring and starts the flush clock at `now` (seconds).
    void init(i64 now);

    // Stores one event in slot event_count mod 256, stamped `now`. The
    // source address is cut to 46 bytes and the raw text to 2048; bytes a
    // database text value cannot hold (NUL, broken UTF-8, including a
    // character cut in half at the limit) are stored as '?'.
    void bufferEvent(u8 event_type, std::string_view source_ip, std::string_view raw_data, i64 now);

    // True at batch_size buffered events, or once flush_interval_ms have
    // passed since the last flush (a clock that went back counts as 0).
    bool shouldFlush(i64 now) const;

    // Events a flush would write: min(event_count, 256).
    u32 pendingCount() const;
    // The i-th pending event in ring order, oldest first (i < pendingCount()).
    const BufferedEvent& pending(u32 i) const;

    // Records a successful flush: nothing pending, clock restarted at `now`.
    void markFlushed(i64 now);
};

// Writes the ILIKE pattern that finds `text` anywhere: "%", the text with
// "%", "_" and "\" each preceded by "\", then "%". Returns the pattern's
// length, or Overflow (nothing usable written) when it needs more than the
// 256 bytes of `out`.
Result<size_t> escapeLikePattern(std::string_view text, std::span<char, 256> out);

// Rewrites `text` in place so that it is valid UTF-8 without NUL bytes:
// every byte that is not part of a well-formed sequence becomes '?'.
void makeStorableText(std::span<char> text);

// Copies `src` into `buf` (cut to its size, the length in `len`), makes the
// copy storable and returns it.
template <size_t N, class L>
std::string_view copyStorable(char (&buf)[N], L& len, std::string_view src) {
    copyBounded(buf, len, src);
    makeStorableText(std::span<char>(buf, static_cast<size_t>(len)));
    return view(buf, len);
}

}  // namespace tarvex
