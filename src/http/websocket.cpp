// websocket.cpp: RFC 6455 frames and the handshake key.
#include "http/websocket.h"

#include <openssl/evp.h>

#include <cstring>

#include "http/base64.h"

namespace tarvex {

WsReadStatus readWsFrame(std::string_view in, WsFrame& out) {
    if (in.size() < 2) return WsReadStatus::incomplete;
    auto b0 = static_cast<u8>(in[0]);
    auto b1 = static_cast<u8>(in[1]);
    if (b0 & 0x70) return WsReadStatus::protocol_error;  // no extension is negotiated
    u8 op = b0 & 0x0F;
    bool control = (op & 0x8) != 0;
    switch (op) {
        case 0x0:
        case 0x1:
        case 0x2:
        case 0x8:
        case 0x9:
        case 0xA:
            break;
        default:
            return WsReadStatus::protocol_error;
    }
    if (!(b1 & 0x80)) return WsReadStatus::protocol_error;  // clients must mask
    out.fin = (b0 & 0x80) != 0;
    out.opcode = static_cast<WsOpcode>(op);
    u64 len = b1 & 0x7F;
    size_t pos = 2;
    if (len == 126) {
        if (in.size() < 4) return WsReadStatus::incomplete;
        len = (u64{static_cast<u8>(in[2])} << 8) | static_cast<u8>(in[3]);
        if (len < 126) return WsReadStatus::protocol_error;  // not minimal
        pos = 4;
    } else if (len == 127) {
        if (in.size() < 10) return WsReadStatus::incomplete;
        len = 0;
        for (int i = 0; i < 8; ++i) len = (len << 8) | static_cast<u8>(in[2 + i]);
        if (len >> 63) return WsReadStatus::protocol_error;
        if (len <= 0xFFFF) return WsReadStatus::protocol_error;  // not minimal
        pos = 10;
    }
    if (control && (len > 125 || !out.fin)) return WsReadStatus::protocol_error;
    if (len > kMaxWsMessage) return WsReadStatus::too_big;
    if (in.size() < pos + 4) return WsReadStatus::incomplete;
    std::memcpy(out.mask, in.data() + pos, 4);
    pos += 4;
    out.header_len = pos;
    out.payload_len = static_cast<size_t>(len);
    if (in.size() - pos < out.payload_len) return WsReadStatus::incomplete;
    return WsReadStatus::ok;
}

void unmaskWs(const u8 mask[4], const char* src, char* dst, size_t n) {
    for (size_t i = 0; i < n; ++i) dst[i] = static_cast<char>(src[i] ^ mask[i & 3]);
}

size_t writeWsFrameHeader(WsOpcode op, size_t payload_len, char* out) {
    out[0] = static_cast<char>(0x80 | static_cast<u8>(op));
    if (payload_len < 126) {
        out[1] = static_cast<char>(payload_len);
        return 2;
    }
    if (payload_len <= 0xFFFF) {
        out[1] = 126;
        out[2] = static_cast<char>(payload_len >> 8);
        out[3] = static_cast<char>(payload_len & 0xFF);
        return 4;
    }
    out[1] = 127;
    u64 n = payload_len;
    for (int i = 7; i >= 0; --i) {
        out[2 + i] = static_cast<char>(n & 0xFF);
        n >>= 8;
    }
    return 10;
}

std::string_view wsAcceptKey(std::string_view client_key, char out[28]) {
    static constexpr std::string_view kGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_len = 0;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr) == 1 &&
              EVP_DigestUpdate(ctx, client_key.data(), client_key.size()) == 1 &&
              EVP_DigestUpdate(ctx, kGuid.data(), kGuid.size()) == 1 &&
              EVP_DigestFinal_ex(ctx, digest, &digest_len) == 1 && digest_len == 20;
    EVP_MD_CTX_free(ctx);
    if (!ok) return {};
    size_t n = base64Encode({reinterpret_cast<const char*>(digest), 20}, out);
    return {out, n};
}

}  // namespace tarvex
