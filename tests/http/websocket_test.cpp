// WebSocket frames, the handshake key and Base64.
#include "http/websocket.h"

#include <gtest/gtest.h>

#include <string>

#include "http/base64.h"
#include "support/http_client.h"

namespace tarvex {
namespace {

TEST(WsHandshake, AcceptKeyAndBase64) {
    char out[28];
    EXPECT_EQ(wsAcceptKey("dGhlIHNhbXBsZSBub25jZQ==", out), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=")
        << "the example key of RFC 6455";
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"\xff\xfe\xfd", "//79"},
    };
    for (const auto& k : cases) {
        char buf[16];
        std::string_view in(k.in);
        ASSERT_LE(base64Size(in.size()), sizeof buf);
        EXPECT_EQ(std::string_view(buf, base64Encode(in, buf)), k.out)
            << "RFC 4648 vector " << k.in;
    }
}

TEST(WsFrameReader, HeaderRules) {
    using test::wsClientFrame;
    struct Case {
        std::string bytes;
        WsReadStatus status;
        size_t payload_len;
        const char* rule;
    };
    std::string len16 = wsClientFrame(0x1, std::string(300, 'x'));
    std::string len64 = wsClientFrame(0x2, std::string(kMaxWsMessage, 'x'));
    const Case cases[] = {
        {wsClientFrame(0x1, "ping"), WsReadStatus::ok, 4, "small masked text"},
        {wsClientFrame(0x1, "ping").substr(0, 7), WsReadStatus::incomplete, 0, "payload cut"},
        {std::string("\x81", 1), WsReadStatus::incomplete, 0, "one byte"},
        {len16, WsReadStatus::ok, 300, "16-bit length"},
        {len16.substr(0, 3), WsReadStatus::incomplete, 0, "16-bit length cut"},
        {len64, WsReadStatus::ok, kMaxWsMessage, "largest message in a 16-bit length"},
        {std::string("\x82\xFF\x00\x00\x00\x00\x00\x01\x00\x01", 10), WsReadStatus::too_big, 0,
         "64-bit length past the message limit"},
        {std::string("\x82\xFF\x80\x00\x00\x00\x00\x00\x00\x00", 10), WsReadStatus::protocol_error,
         0, "64-bit length with the top bit set"},
        {std::string("\x82\xFE\x00\x10", 4), WsReadStatus::protocol_error, 0,
         "16-bit form for a short length"},
        {std::string("\x81\x04ping", 6), WsReadStatus::protocol_error, 0, "unmasked"},
        {std::string("\xC1\x80\0\0\0\0", 6), WsReadStatus::protocol_error, 0,
         "RSV1 without extension"},
        {wsClientFrame(0xB, ""), WsReadStatus::protocol_error, 0, "reserved control opcode"},
        {wsClientFrame(0x9, "x", false), WsReadStatus::protocol_error, 0, "fragmented ping"},
        {wsClientFrame(0x9, std::string(126, 'x')), WsReadStatus::protocol_error, 0,
         "control payload over 125"},
        {wsClientFrame(0x8, ""), WsReadStatus::ok, 0, "empty close"},
    };
    for (const Case& k : cases) {
        WsFrame f;
        WsReadStatus st = readWsFrame(k.bytes, f);
        EXPECT_EQ(static_cast<int>(st), static_cast<int>(k.status)) << k.rule;
        if (st == WsReadStatus::ok) {
            EXPECT_EQ(f.payload_len, k.payload_len) << k.rule;
            EXPECT_EQ(f.header_len + f.payload_len, k.bytes.size()) << k.rule;
        }
    }
    WsFrame f;
    std::string frame = wsClientFrame(0x1, "hello", false);
    ASSERT_EQ(readWsFrame(frame, f), WsReadStatus::ok);
    EXPECT_FALSE(f.fin);
    EXPECT_EQ(f.opcode, WsOpcode::text);
    unmaskWs(f.mask, frame.data() + f.header_len, frame.data() + f.header_len, f.payload_len);
    EXPECT_EQ(frame.substr(f.header_len), "hello") << "unmasked in place";
}

TEST(WsFrameWriter, LengthForms) {
    const struct {
        size_t len;
        std::string header;
    } cases[] = {
        {0, std::string("\x81\x00", 2)},
        {125, std::string("\x81\x7D", 2)},
        {126, std::string("\x81\x7E\x00\x7E", 4)},
        {65535, std::string("\x81\x7E\xFF\xFF", 4)},
        {65536, std::string("\x81\x7F\x00\x00\x00\x00\x00\x01\x00\x00", 10)},
    };
    for (const auto& k : cases) {
        char out[10];
        size_t n = writeWsFrameHeader(WsOpcode::text, k.len, out);
        EXPECT_EQ(std::string(out, n), k.header) << k.len;
    }
}

}  // namespace
}  // namespace tarvex
