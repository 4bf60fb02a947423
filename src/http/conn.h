// conn.h: one client connection, shared by the event loop, handler pool and WebSocket code.
//
// Private to src/http. The server keeps kMaxConnections Conn slots in one
// array; a slot is reused for later connections, and its gen counts the
// connections it has held, so a stale epoll event or WsConn handle is told
// apart from the connection now in the slot.
//
// Who writes what:
//   - the fields above out_mu belong to the event loop; while a request is
//     dispatched (state == dispatched) the handler thread running it uses req
//     and sets ws and ws_user, and the loop touches neither until the
//     handler's done notice arrives;
//   - close_requested and out_pending are atomics: any writer sets them, the
//     loop acts on them;
//   - the fields below out_mu are shared with every writer (loop, handler
//     threads, WebSocket writers on any thread) and guarded by out_mu.
#pragma once

#include <atomic>
#include <mutex>
#include <string_view>

#include "common/error.h"
#include "common/thread.h"
#include "common/types.h"
#include "http/request.h"
#include "http/server.h"
#include "http/websocket.h"

namespace tarvex {

// The most parts one WebSocket frame may be written from (writeFrameParts).
constexpr size_t kMaxWsParts = 8;

enum class ConnState : u8 { free, reading, dispatched, websocket, lingering };

struct Conn {
    int fd = -1;
    ConnState state = ConnState::free;
    bool readable = false;
    bool peer_eof = false;
    bool hup_seen = false;       // the peer's EOF is signalled: read until it
    bool sent_continue = false;  // "100 Continue" sent for the request being read
    bool close_after_flush = false;
    bool close_when_done = false;  // an error arrived while dispatched
    bool ws_closed_cb = false;
    char* in = nullptr;
    size_t in_len = 0;
    size_t in_cap = 0;
    size_t req_len = 0;
    HttpRequest req;
    i64 linger_deadline = 0;
    size_t linger_discarded = 0;
    const WsCallbacks* ws = nullptr;
    void* ws_user = nullptr;
    char* ws_msg = nullptr;
    size_t ws_msg_len = 0;
    WsOpcode ws_msg_op = WsOpcode::text;
    bool ws_in_msg = false;
    bool read_failed = false;
    Err read_err = Err::None;
    // Time-outs (server.h): when the request being read started (the accept,
    // or its first byte), the last read, write or finished request, and
    // whether its head is parsed; a WebSocket that must send a first message
    // (sign in) before the head time-out, and one that was pinged for being
    // silent.
    i64 req_start = 0;
    i64 last_active = 0;
    u32 served = 0;
    bool head_done = false;
    bool ws_await_first = false;
    bool ws_pinged = false;
    // The client's address (IPv4 as ::ffff:a.b.c.d), counted against the
    // per-address limit while the connection lives.
    u8 addr[16] = {};
    bool addr_counted = false;
    char peer[64] = {};
    size_t peer_len = 0;
    // 0 none, 1 close once the output is written, 2 close at once.
    std::atomic<u8> close_requested{0};
    std::atomic<bool> out_pending{false};

    std::mutex out_mu;
    u32 gen = 0;
    bool open = false;     // accepts writes
    bool ws_open = false;  // accepts WebSocket frames
    char* out = nullptr;
    size_t out_head = 0;
    size_t out_len = 0;
    size_t out_cap = 0;

    std::string_view peerText() const { return {peer, peer_len}; }
};

// Appends the parts to the connection's output, sending directly when
// nothing is queued; the loop drains the rest. Overflow when more than
// `limit` bytes would then wait, SocketNotConnected when the connection no
// longer accepts writes. Called with c.out_mu held, from any thread
// (conn.cpp).
Err queueOutputLocked(Conn& c, const std::string_view* parts, size_t count, size_t limit);

// Answering the dashboard is never as urgent as receiving events: under CPU
// pressure the listener thread goes first, so a busy API cannot make the
// kernel drop datagrams. (Raising a thread's nice value needs no privilege.)
// The event loop and every handler thread call it first.
inline void lowerPriority(const char* name) {
    nameThisThread(name);
    setThisThreadNice(kBackgroundNice);
}

}  // namespace tarvex
