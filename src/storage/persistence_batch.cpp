// persistence_batch.cpp: the event ring of the write path and its helpers.
#include "storage/persistence_batch.h"

#include <cstring>

#include "common/text.h"

namespace tarvex {

std::string_view BufferedEvent::getSourceIp() const {
    return view(source_ip, source_ip_len);
}

std::string_view BufferedEvent::getData() const {
    return view(raw_data, raw_data_len);
}

void EventBatch::init(i64 now) {
    std::memset(events, 0, sizeof events);
    last_flush = now;
    flush_interval_ms = 5000;
    event_count = 0;
    batch_size = 100;
}

void EventBatch::bufferEvent(u8 event_type, std::string_view source_ip, std::string_view raw_data,
                             i64 now) {
    BufferedEvent& e = events[event_count % kSlots];
    e.event_type = event_type;
    e.timestamp = now;
    copyBounded(e.source_ip, e.source_ip_len, source_ip);
    copyBounded(e.raw_data, e.raw_data_len, raw_data);
    makeStorableText(std::span<char>(e.source_ip, e.source_ip_len));
    makeStorableText(std::span<char>(e.raw_data, e.raw_data_len));
    ++event_count;
}

bool EventBatch::shouldFlush(i64 now) const {
    if (event_count >= batch_size) return true;
    i64 elapsed = now - last_flush;
    if (elapsed < 0) elapsed = 0;
    return static_cast<u64>(elapsed) * 1000 >= flush_interval_ms;
}

u32 EventBatch::pendingCount() const {
    return event_count < kSlots ? static_cast<u32>(event_count) : kSlots;
}

const BufferedEvent& EventBatch::pending(u32 i) const {
    u64 first = event_count <= kSlots ? 0 : event_count % kSlots;
    return events[(first + i) % kSlots];
}

void EventBatch::markFlushed(i64 now) {
    event_count = 0;
    last_flush = now;
}

Result<size_t> escapeLikePattern(std::string_view text, std::span<char, 256> out) {
    size_t n = 0;
    auto put = [&](char c) {
        if (n >= out.size()) return false;
        out[n++] = c;
        return true;
    };
    if (!put('%')) return Err::Overflow;
    for (char c : text) {
        if ((c == '%' || c == '_' || c == '\\') && !put('\\')) return Err::Overflow;
        if (!put(c)) return Err::Overflow;
    }
    if (!put('%')) return Err::Overflow;
    return n;
}

void makeStorableText(std::span<char> text) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    auto cont = [&](size_t i) { return i < text.size() && (byte(i) & 0xC0) == 0x80; };
    size_t i = 0;
    while (i < text.size()) {
        unsigned char b = byte(i);
        size_t len = 0;
        if (b >= 0x01 && b <= 0x7F) {
            len = 1;
        } else if (b >= 0xC2 && b <= 0xDF) {
            len = cont(i + 1) ? 2 : 0;
        } else if (b >= 0xE0 && b <= 0xEF) {
            // No overlong forms (E0 80..9F) and no UTF-16 surrogates (ED A0..BF).
            bool ok = cont(i + 1) && cont(i + 2);
            if (ok && b == 0xE0 && byte(i + 1) < 0xA0) ok = false;
            if (ok && b == 0xED && byte(i + 1) > 0x9F) ok = false;
            len = ok ? 3 : 0;
        } else if (b >= 0xF0 && b <= 0xF4) {
            // No overlong forms (F0 80..8F) and nothing past U+10FFFF.
            bool ok = cont(i + 1) && cont(i + 2) && cont(i + 3);
            if (ok && b == 0xF0 && byte(i + 1) < 0x90) ok = false;
            if (ok && b == 0xF4 && byte(i + 1) > 0x8F) ok = false;
            len = ok ? 4 : 0;
        }
        if (len == 0) {
            text[i] = '?';
            len = 1;
        }
        i += len;
    }
}

}  // namespace tarvex
