// websocket.h: RFC 6455 frames, the frame reader and the handshake key.
//
// readWsFrame is a pure function over the bytes received on an upgraded
// connection: it decodes one client frame header, checks it against the
// protocol and this server's limits and says where the payload lies. The
// payload is unmasked separately (unmaskWs), in place or into another buffer.
// Server frames are never masked and never fragmented (writeWsFrameHeader).
#pragma once

#include <string_view>

#include "common/types.h"

namespace tarvex {

// The largest client message (after reassembly of fragments).
constexpr size_t kMaxWsMessage = 65536;
// The largest frame header: 2 bytes, 8 bytes of length, 4 bytes of mask.
constexpr size_t kMaxWsHeader = 14;

enum class WsOpcode : u8 {
    continuation = 0x0,
    text = 0x1,
    binary = 0x2,
    close = 0x8,
    ping = 0x9,
    pong = 0xA,
};

// Close status codes this server sends.
constexpr u16 kWsCloseNormal = 1000;
constexpr u16 kWsCloseGoingAway = 1001;
constexpr u16 kWsCloseProtocolError = 1002;
constexpr u16 kWsClosePolicy = 1008;
constexpr u16 kWsCloseTooBig = 1009;
constexpr u16 kWsCloseTryAgainLater = 1013;

struct WsFrame {
    bool fin = false;
    WsOpcode opcode = WsOpcode::continuation;
    u8 mask[4] = {0, 0, 0, 0};
    size_t header_len = 0;
    size_t payload_len = 0;
};

enum class WsReadStatus : u8 {
    incomplete,      // need more bytes
    ok,              // header_len + payload_len bytes form the frame
    protocol_error,  // unmasked, reserved bits or opcode, bad control frame
    too_big,         // payload over kMaxWsMessage
};

// Decodes the client frame at the start of `in`.
WsReadStatus readWsFrame(std::string_view in, WsFrame& out);

// XORs `n` bytes of `src` with the mask into `dst` (which may equal src).
void unmaskWs(const u8 mask[4], const char* src, char* dst, size_t n);

// Writes an unmasked FIN frame header for `payload_len` bytes into `out`
// (at least 10 bytes); returns its length.
size_t writeWsFrameHeader(WsOpcode op, size_t payload_len, char* out);

// The Sec-WebSocket-Accept value for a client key: Base64 of the SHA-1 of the
// key followed by the protocol GUID. Writes 28 bytes into out; an empty view
// when libcrypto fails.
std::string_view wsAcceptKey(std::string_view client_key, char out[28]);

}  // namespace tarvex
