// ring_buffer.cpp: pushing raw events.
#include "storage/ring_buffer.h"

#include <cstring>

namespace tarvex {

RawEvent& RingBuffer::push(std::string_view data, std::string_view source_ip, i64 now) {
    RawEvent& e = events[write_pos % kRingCapacity];
    // Clearing the whole 2 KiB record costs as much as the copy; clear only
    // what the copy leaves stale.
    size_t n = copyBounded(e.data, e.data_len, data);
    std::memset(e.data + n, 0, sizeof e.data - n);
    size_t m = copyBounded(e.source_ip, e.source_ip_len, source_ip);
    std::memset(e.source_ip + m, 0, sizeof e.source_ip - m);
    e.timestamp = now;
    e.event_type = 0;
    e.active = true;
    write_pos += 1;
    total_written += 1;
    return e;
}

}  // namespace tarvex
