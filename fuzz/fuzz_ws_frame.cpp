// fuzz_ws_frame.cpp: the WebSocket frame reader over arbitrary bytes, walking
// frame after frame as the event loop does.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "http/websocket.h"

using namespace tarvex;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string in(reinterpret_cast<const char*>(data), size);
    size_t pos = 0;
    while (pos < in.size()) {
        WsFrame f;
        WsReadStatus st = readWsFrame(std::string_view(in).substr(pos), f);
        if (st != WsReadStatus::ok) break;
        if (f.header_len < 6 || f.header_len > kMaxWsHeader) std::abort();
        if (f.payload_len > kMaxWsMessage) std::abort();
        if (f.header_len + f.payload_len > in.size() - pos) std::abort();
        bool control = (static_cast<int>(f.opcode) & 0x8) != 0;
        if (control && (f.payload_len > 125 || !f.fin)) std::abort();
        char* p = in.data() + pos + f.header_len;
        unmaskWs(f.mask, p, p, f.payload_len);
        pos += f.header_len + f.payload_len;
    }
    return 0;
}
