// server.h: the HTTP/1.1 and WebSocket server engine.
//
// One event-loop thread owns the listening socket and every client socket
// through epoll (edge-triggered), with an eventfd to wake it for finished
// requests, close requests and shutdown. It reads, parses and hands each
// complete request to a pool of 32 handler threads through a queue of 500
// pending requests; a connection has at most one request in a handler at a
// time, so pipelined requests are answered in order. The handler thread
// writes its response straight to the socket; what the socket does not take
// at once is kept in the connection's output buffer and drained by the loop.
//
// Limits and policies of this engine (no settings; these are in force):
//   - at most kMaxConnections (1024) simultaneous client connections, and
//     at most kMaxConnsPerAddress (64) from one client address, so no single
//     address can take the table from the others; a connection accepted
//     beyond either is closed at once;
//   - a request head must arrive within kHeadTimeoutMs (10 s) of the
//     connection opening or of its first byte (a request whose body stops
//     arriving for that long is cut off too): the engine answers 408 and
//     closes; a keep-alive connection idle for kIdleTimeoutMs (60 s) between
//     requests is closed; a WebSocket that sends nothing (no frame, no pong)
//     is pinged after half the idle time and closed after all of it;
//   - request limits as in request.h (64 KiB header block, 1 MiB body);
//   - a full request queue (500 waiting requests) is answered with the fixed
//     500 reply and the connection is closed: the server is overloaded and
//     says so at once rather than stalling the connection;
//   - every refusal (per-address limit, full table, time-outs, descriptor
//     exhaustion) is counted in httpRefusals() and logged rate-limited;
//   - HEAD is answered by the GET route without the body; a method the path
//     has no route for answers 405 with an Allow header (404 when no route
//     has the path at all); a Router guard may refuse a request before it
//     is routed (router.h);
//   - closing after a fixed reply or "Connection: close" shuts down the
//     sending side first and discards what the client still sends for up to
//     2 s, so the client reads the reply instead of a reset;
//   - a WebSocket connection's output buffer holds at most kMaxWsBacklog
//     bytes; a write that would exceed it fails and the connection is
//     closed, so a stalled client never blocks a writer.
//
// Where the engine lives (the headers and files below are private to
// src/http):
//   - event_loop.cpp: the loop thread: listening socket, accept, reads and
//     parsing, connection slots, draining output, close and linger;
//   - limits.cpp: the time-out sweep, the per-address counts and the
//     counting and logging of refusals (on the loop thread);
//   - handler_pool.h/.cpp: the handler threads, the request queue to them and
//     the done notices back to the loop;
//   - ws_service.cpp: upgraded connections: reading frames, delivering
//     messages, writing frames and closing (the WsConn operations);
//   - conn.h/.cpp: the per-connection state the three share, and writing to
//     a connection's output.
//
// Thread-safety: router() is filled before serve(); stop() and the WsConn
// write operations may be called from any thread.
#pragma once

#include <atomic>
#include <memory>
#include <string_view>

#include "common/error.h"
#include "common/types.h"
#include "http/router.h"
#include "http/websocket.h"

namespace tarvex {

constexpr size_t kMaxConnections = 1024;
constexpr size_t kHandlerThreads = 32;
constexpr size_t kRequestQueueSize = 500;
constexpr int kListenBacklog = 1024;
constexpr size_t kMaxWsBacklog = 256 * 1024;
constexpr size_t kMaxConnsPerAddress = 64;
constexpr u32 kHeadTimeoutMs = 10'000;
constexpr u32 kIdleTimeoutMs = 60'000;

// The limits one server runs with; the defaults are the documented ones
// (tests shorten the time-outs).
struct HttpServerOptions {
    u32 head_timeout_ms = kHeadTimeoutMs;
    u32 idle_timeout_ms = kIdleTimeoutMs;
    u32 max_conns_per_address = static_cast<u32>(kMaxConnsPerAddress);
};

// What the engines of this process refused, counted since start (any
// thread may read them).
struct HttpRefusals {
    std::atomic<u64> per_address{0};    // over kMaxConnsPerAddress
    std::atomic<u64> table_full{0};     // all kMaxConnections slots taken
    std::atomic<u64> no_descriptor{0};  // accept failed: out of file descriptors
    std::atomic<u64> head_timeout{0};   // head (or body) not complete in time
    std::atomic<u64> ws_timeout{0};     // WebSocket silent, or no first message in time
    std::atomic<u64> bad_request{0};    // unparsable request (400, 413, 431)
};
HttpRefusals& httpRefusals();

class HttpServer;

// Responses sent, by status code (100 to 599): the handlers' replies, the
// upgrade replies and the engine's fixed ones. Any thread; relaxed counts.
class HttpCounters {
  public:
    void count(u16 status) {
        if (status >= 100 && status < 600)
            by_status_[status - 100].fetch_add(1, std::memory_order_relaxed);
    }
    u64 responses(u16 status) const {
        return status >= 100 && status < 600
                   ? by_status_[status - 100].load(std::memory_order_relaxed)
                   : 0;
    }

  private:
    std::atomic<u64> by_status_[500] = {};
};

// A handle on one WebSocket connection, valid to copy and keep: once the
// connection is gone, writes fail with SocketNotConnected (a handle never
// reaches a later connection that reuses the slot).
struct WsConn {
    HttpServer* server = nullptr;
    u32 slot = 0;
    u32 gen = 0;

    // Sends one unfragmented frame. Safe from any thread; writes to one
    // connection are serialised.
    Err writeFrame(WsOpcode op, std::string_view payload) const;
    // Sends one frame whose payload is the parts written back to back.
    Err writeFrameParts(WsOpcode op, const std::string_view* parts, size_t count) const;
    // Sends a close frame with `code` and closes the connection once it has
    // been written. Safe from any thread.
    void close(u16 code) const;
    bool operator==(const WsConn& o) const {
        return server == o.server && slot == o.slot && gen == o.gen;
    }
};

// What the engine calls on an upgraded connection. after_init runs once on
// the handler thread right after the 101 reply is written; client_message
// runs on the event loop for each complete text or binary message (an error
// closes the connection); close runs on the event loop when it ends.
struct WsCallbacks {
    void (*after_init)(void* user, WsConn conn) = nullptr;
    Err (*client_message)(void* user, WsConn conn, WsOpcode op, std::string_view data) = nullptr;
    void (*close)(void* user, WsConn conn) = nullptr;
};

struct Conn;
class HandlerPool;
struct RequestDone;

class HttpServer {
  public:
    // `ctx` is handed to every handler.
    explicit HttpServer(void* ctx, const HttpServerOptions& options = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    Router& router() { return router_; }

    // Creates the listening socket on a numeric IPv4 or IPv6 address
    // (InvalidAddress otherwise) and port (0 picks a free one).
    Err bind(std::string_view host, u16 port);
    // The port actually bound.
    u16 port() const { return port_; }
    // Runs the event loop and handler threads until stop(); then closes
    // every connection and returns.
    Err serve();
    // bind() then serve().
    Err listen(std::string_view host, u16 port);
    // Asks serve() to return. Safe from any thread, at any time.
    void stop();
    // What the server has answered so far.
    const HttpCounters& counters() const { return counters_; }

  private:
    friend struct WsConn;
    HttpCounters counters_;
    friend class HandlerPool;  // wakes the loop with wakeForDone()

    // Event loop (event_loop.cpp), on the loop thread unless noted.
    void loop();
    void acceptAll();
    void onEvent(u32 slot, u32 gen, u32 events);
    void service(Conn& c);
    void serviceHttp(Conn& c);
    bool readMore(Conn& c);
    void drainOutput(Conn& c);
    void finishRequest(const RequestDone& d);
    void replyAndClose(Conn& c, std::string_view reply);
    // replyAndClose for a request the engine refuses (400, 413, 431),
    // counted and logged.
    void refuseRequest(Conn& c, std::string_view reply);
    void closeAfterFlush(Conn& c);
    void shutdownAndLinger(Conn& c);
    void closeNow(Conn& c);
    void lingerSweep();
    u32 slotOf(const Conn& c) const;
    // Limits (limits.cpp): the time-outs, checked a few times a second; a
    // connection refused at accept, counted and logged; the per-address
    // connection counts.
    void timeoutSweep();
    enum class AcceptRefusal : u8 { per_address, table_full, no_descriptor };
    void noteAcceptRefusal(AcceptRefusal kind, std::string_view ip, Err e);
    bool addressTake(const u8 addr[16]);
    void addressRelease(const u8 addr[16]);
    // Wakes the loop; any thread.
    void wake();
    // Wakes the loop for a done notice unless a wake-up is pending already;
    // handler threads.
    void wakeForDone();

    // WebSocket service (ws_service.cpp): serviceWs, deliverWs, wsFail and
    // runWsClose on the loop thread, wsWrite and wsClose on any thread.
    void serviceWs(Conn& c);
    void deliverWs(Conn& c, WsOpcode op, std::string_view data);
    void wsFail(Conn& c, Err e, u16 code);
    void runWsClose(Conn& c);
    Err wsWrite(u32 slot, u32 gen, WsOpcode op, const std::string_view* parts, size_t count);
    void wsClose(u32 slot, u32 gen, u16 code);

    // Set up by the constructor and bind() before serve(), then only read
    // (serve() closes listen_fd_ when the loop has ended).
    void* ctx_;
    HttpServerOptions opts_;
    Router router_;
    int listen_fd_ = -1;
    int epoll_fd_ = -1;
    int wake_fd_ = -1;
    u16 port_ = 0;
    Err setup_err_ = Err::None;
    // kMaxConnections slots (conn.h says who writes which field).
    Conn* conns_ = nullptr;
    // The loop thread's alone: free slots, lingering count, its error.
    u32 free_[kMaxConnections];
    u32 free_count_ = 0;
    u32 lingering_ = 0;
    Err loop_err_ = Err::None;
    // The monotonic time of the loop's current pass, and of the last sweep.
    i64 now_ = 0;
    i64 last_sweep_ = 0;
    // accept() ran out of descriptors: retry from the sweep, since the
    // edge-triggered listening socket will not signal again by itself.
    bool accept_blocked_ = false;
    // Open-addressing table of client addresses and their connection
    // counts (2 x kMaxConnections entries, linear probing, backward-shift
    // deletion).
    struct AddrCount {
        u8 addr[16];
        u32 count;
    };
    AddrCount addr_counts_[2 * kMaxConnections] = {};
    // Flags for the loop, which reads them after every wake-up: stop() was
    // called (any thread); a wake-up for done notices is pending (set by
    // handler threads, cleared by the loop when woken); a WebSocket write or
    // close asked for a connection to be closed (set by any thread, cleared
    // by the loop before it looks at close_requested of every slot).
    std::atomic<bool> stopping_{false};
    std::atomic<bool> wake_pending_{false};
    std::atomic<bool> close_requests_{false};

    // The handler threads and their queues (handler_pool.h).
    std::unique_ptr<HandlerPool> pool_;
};

}  // namespace tarvex
