// ring_buffer.h: the in-memory ring of the most recent raw events.
//
// Every received datagram is copied here (cut to 2048 bytes) before it is
// parsed, so the API can show recent events and the lines around an alert.
// The ring holds 8192 entries and overwrites the oldest.
//
// Written only by the listener thread (under the state lock, exclusively);
// read by HTTP handlers under the state lock, shared.
#pragma once

#include <string_view>

#include "common/text.h"
#include "common/types.h"

namespace tarvex {

constexpr u32 kRingCapacity = 8192;
constexpr u32 kRawEventBytes = 2048;

struct RawEvent {
    i64 timestamp;  // seconds since the epoch, when received
    u16 data_len;
    char data[kRawEventBytes];
    char source_ip[46];
    u8 source_ip_len;
    u8 event_type;  // the event's EventType value
    bool active;

    std::string_view getData() const { return view(data, data_len); }
    std::string_view getSourceIp() const { return view(source_ip, source_ip_len); }
};

struct RingBuffer {
    RawEvent events[kRingCapacity];
    u64 total_written;  // events ever pushed
    u32 write_pos;      // wraps at 2^32; the slot used is write_pos mod 8192

    // Clears the next slot, fills it and advances. Returns the slot written.
    RawEvent& push(std::string_view data, std::string_view source_ip, i64 now);

    // Entries held: min(total_written, 8192).
    u32 occupancy() const {
        return total_written < kRingCapacity ? static_cast<u32>(total_written) : kRingCapacity;
    }
    // The i-th newest entry (i < occupancy()).
    const RawEvent& newest(u32 i) const { return events[(total_written - 1 - i) % kRingCapacity]; }
};

}  // namespace tarvex
