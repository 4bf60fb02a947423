// fuzz_stream_framer.cpp: any byte stream, cut into reads anywhere, must frame
// without harm: no message longer than a datagram, none empty, and the same
// messages whichever way the reads fall.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ingest/stream_framer.h"

namespace {

struct Seen {
    std::vector<std::string> messages;
};

void sink(void* ctx, const char* data, tarvex::u32 len, bool) {
    if (len == 0 || len > tarvex::kDatagramMax) __builtin_trap();
    static_cast<Seen*>(ctx)->messages.emplace_back(data, len);
}

// Frames the input with reads of `step` bytes; false after a framing error.
bool frame(const uint8_t* data, size_t size, size_t step, Seen& out) {
    static tarvex::StreamFramer f;
    f.reset();
    const char* p = reinterpret_cast<const char*>(data);
    for (size_t at = 0; at < size; at += step) {
        const size_t n = size - at < step ? size - at : step;
        if (f.feed(p + at, n, sink, &out) != tarvex::FrameError::none) return false;
    }
    f.finish(sink, &out);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte chooses the read size of the second pass.
    const size_t step = 1 + data[0] % 17;
    Seen whole, pieces;
    const bool ok_whole = frame(data + 1, size - 1, size, whole);
    const bool ok_pieces = frame(data + 1, size - 1, step, pieces);
    if (ok_whole != ok_pieces) __builtin_trap();
    if (ok_whole && whole.messages != pieces.messages) __builtin_trap();
    return 0;
}
