// ws_service.cpp: the WebSocket service: reading frames, delivering messages, writing and closing.
#include "http/server.h"

#include <cstring>

#include "common/log.h"
#include "http/conn.h"

namespace tarvex {

void HttpServer::serviceWs(Conn& c) {
    size_t pos = 0;
    while (c.state == ConnState::websocket) {
        WsFrame f;
        WsReadStatus st = readWsFrame({c.in + pos, c.in_len - pos}, f);
        if (st == WsReadStatus::incomplete) {
            if (pos) {
                std::memmove(c.in, c.in + pos, c.in_len - pos);
                c.in_len -= pos;
                pos = 0;
            }
            if (c.readable && readMore(c)) continue;
            if (c.read_failed) {
                logWarn("websocket", "({}) error reading from connection: {}", c.peerText(),
                        c.read_err);
                closeNow(c);
            } else if (c.peer_eof) {
                closeNow(c);
            }
            return;
        }
        if (st != WsReadStatus::ok) {
            bool big = st == WsReadStatus::too_big;
            wsFail(c, big ? Err::StreamTooLong : Err::ProtocolError,
                   big ? kWsCloseTooBig : kWsCloseProtocolError);
            return;
        }
        char* payload = c.in + pos + f.header_len;
        unmaskWs(f.mask, payload, payload, f.payload_len);
        std::string_view data(payload, f.payload_len);
        pos += f.header_len + f.payload_len;
        WsConn conn{this, slotOf(c), c.gen};
        switch (f.opcode) {
            case WsOpcode::close: {
                // Answer with the peer's status code and close.
                std::string_view code = data.substr(0, data.size() >= 2 ? 2 : 0);
                wsWrite(conn.slot, conn.gen, WsOpcode::close, &code, 1);
                c.in_len = 0;
                closeAfterFlush(c);
                return;
            }
            case WsOpcode::ping:
                wsWrite(conn.slot, conn.gen, WsOpcode::pong, &data, 1);
                break;
            case WsOpcode::pong:
                break;
            case WsOpcode::text:
            case WsOpcode::binary:
                if (c.ws_in_msg) {
                    wsFail(c, Err::ProtocolError, kWsCloseProtocolError);
                    return;
                }
                if (f.fin) {
                    deliverWs(c, f.opcode, data);
                } else {
                    std::memcpy(c.ws_msg, data.data(), data.size());
                    c.ws_msg_len = data.size();
                    c.ws_msg_op = f.opcode;
                    c.ws_in_msg = true;
                }
                break;
            case WsOpcode::continuation:
                if (!c.ws_in_msg) {
                    wsFail(c, Err::ProtocolError, kWsCloseProtocolError);
                    return;
                }
                if (data.size() > kMaxWsMessage - c.ws_msg_len) {
                    wsFail(c, Err::StreamTooLong, kWsCloseTooBig);
                    return;
                }
                std::memcpy(c.ws_msg + c.ws_msg_len, data.data(), data.size());
                c.ws_msg_len += data.size();
                if (f.fin) {
                    c.ws_in_msg = false;
                    deliverWs(c, c.ws_msg_op, {c.ws_msg, c.ws_msg_len});
                }
                break;
        }
    }
}

void HttpServer::deliverWs(Conn& c, WsOpcode op, std::string_view data) {
    c.ws_await_first = false;
    if (!c.ws || !c.ws->client_message) return;
    Err e = c.ws->client_message(c.ws_user, WsConn{this, slotOf(c), c.gen}, op, data);
    if (e != Err::None) {
        logError("websocket", "({}) error processing client message: {}", c.peerText(), e);
        char code[2] = {static_cast<char>(1011 >> 8), static_cast<char>(1011 & 0xFF)};
        std::string_view part(code, 2);
        wsWrite(slotOf(c), c.gen, WsOpcode::close, &part, 1);
        closeAfterFlush(c);
    }
}

void HttpServer::wsFail(Conn& c, Err e, u16 code) {
    logWarn("websocket", "({}) error reading from connection: {}", c.peerText(), e);
    char bytes[2] = {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
    std::string_view part(bytes, 2);
    wsWrite(slotOf(c), c.gen, WsOpcode::close, &part, 1);
    c.in_len = 0;
    closeAfterFlush(c);
}

Err HttpServer::wsWrite(u32 slot, u32 gen, WsOpcode op, const std::string_view* parts,
                        size_t count) {
    if (slot >= kMaxConnections || count > kMaxWsParts) return Err::SocketNotConnected;
    size_t len = 0;
    for (size_t i = 0; i < count; ++i) len += parts[i].size();
    char header[10];
    std::string_view all[kMaxWsParts + 1];
    all[0] = {header, writeWsFrameHeader(op, len, header)};
    for (size_t i = 0; i < count; ++i) all[i + 1] = parts[i];
    Conn& c = conns_[slot];
    Err e;
    {
        std::lock_guard<std::mutex> l(c.out_mu);
        if (c.gen != gen || !c.open || !c.ws_open) return Err::SocketNotConnected;
        e = queueOutputLocked(c, all, count + 1, kMaxWsBacklog);
        if (e == Err::None) {
            if (op == WsOpcode::close) {
                c.ws_open = false;  // nothing may follow a close frame
                u8 none = 0;
                c.close_requested.compare_exchange_strong(none, 1);
            }
            return e;
        }
        c.ws_open = false;  // no further frames: the stream is cut or stalled
        c.close_requested.store(2);
    }
    close_requests_.store(true);
    wake();
    return e;
}

void HttpServer::wsClose(u32 slot, u32 gen, u16 code) {
    if (slot >= kMaxConnections) return;
    char bytes[2] = {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
    std::string_view part(bytes, 2);
    if (wsWrite(slot, gen, WsOpcode::close, &part, 1) != Err::None) return;
    close_requests_.store(true);
    wake();
}

void HttpServer::runWsClose(Conn& c) {
    if (c.ws && !c.ws_closed_cb) {
        c.ws_closed_cb = true;
        {
            std::lock_guard<std::mutex> l(c.out_mu);
            c.ws_open = false;
        }
        u32 gen = c.gen;
        if (c.ws->close) c.ws->close(c.ws_user, WsConn{this, slotOf(c), gen});
    }
}

Err WsConn::writeFrame(WsOpcode op, std::string_view payload) const {
    if (!server) return Err::SocketNotConnected;
    return server->wsWrite(slot, gen, op, &payload, 1);
}

Err WsConn::writeFrameParts(WsOpcode op, const std::string_view* parts, size_t count) const {
    if (!server) return Err::SocketNotConnected;
    return server->wsWrite(slot, gen, op, parts, count);
}

void WsConn::close(u16 code) const {
    if (server) server->wsClose(slot, gen, code);
}

}  // namespace tarvex
