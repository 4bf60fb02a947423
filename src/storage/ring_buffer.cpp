// ring_buffer.cpp: pushing raw events.
#include "storage/ring_buffer.h"

#include <cstring>

namespace tarvex {

RawEvent& RingBuffer::push(std::string_view data, std::string_view source_ip, i64 now) {
    RawEvent& e = events[write_pos % kRingCapacity];
    // Clearing the whole 2 KiB record costs more than the copy. The bytes
    // past a slot's length are always zero (the table starts zeroed and
    // every push keeps it so), so only what the old text held beyond the new
    // one is stale.
    const size_t old_n = e.data_len;
    const size_t n = copyBounded(e.data, e.data_len, data);
    if (old_n > n) std::memset(e.data + n, 0, old_n - n);
    const size_t old_m = e.source_ip_len;
    const size_t m = copyBounded(e.source_ip, e.source_ip_len, source_ip);
    if (old_m > m) std::memset(e.source_ip + m, 0, old_m - m);
    e.timestamp = now;
    e.event_type = 0;
    e.active = true;
    write_pos += 1;
    total_written += 1;
    return e;
}

}  // namespace tarvex
