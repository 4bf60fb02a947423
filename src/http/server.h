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
//   - at most kMaxConnections (1024) simultaneous client connections; a
//     connection accepted beyond that is closed at once;
//   - request limits as in request.h (64 KiB header block, 1 MiB body);
//   - a full request queue (500 waiting requests) is answered with the fixed
//     500 reply and the connection is closed: the server is overloaded and
//     says so at once rather than stalling the connection;
//   - no request or keep-alive time-outs: idle connections stay open;
//   - closing after a fixed reply or "Connection: close" shuts down the
//     sending side first and discards what the client still sends for up to
//     2 s, so the client reads the reply instead of a reset;
//   - a WebSocket connection's output buffer holds at most kMaxWsBacklog
//     bytes; a write that would exceed it fails and the connection is
//     closed, so a stalled client never blocks a writer.
//
// Thread-safety: router() is filled before serve(); stop() and the WsConn
// write operations may be called from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string_view>
#include <thread>

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

class HttpServer;

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

class HttpServer {
  public:
    // `ctx` is handed to every handler.
    explicit HttpServer(void* ctx);
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

  private:
    friend struct WsConn;
    struct Job {
        u32 slot;
    };
    struct Done {
        u32 slot;
        bool keep_alive;
        bool upgraded;
    };

    void loop();
    void workerMain();
    void handleRequest(Conn& c, Arena& arena, char* head_buf, size_t head_cap);
    void acceptAll();
    void onEvent(u32 slot, u32 gen, u32 events);
    void service(Conn& c);
    void serviceHttp(Conn& c);
    void serviceWs(Conn& c);
    void deliverWs(Conn& c, WsOpcode op, std::string_view data);
    void wsFail(Conn& c, Err e, u16 code);
    bool readMore(Conn& c);
    void drainOutput(Conn& c);
    void finishRequest(const Done& d);
    void replyAndClose(Conn& c, std::string_view reply);
    void closeAfterFlush(Conn& c);
    void shutdownAndLinger(Conn& c);
    void runWsClose(Conn& c);
    void closeNow(Conn& c);
    void wake();
    void postDone(const Done& d);
    void lingerSweep();
    u32 slotOf(const Conn& c) const;
    Err wsWrite(u32 slot, u32 gen, WsOpcode op, const std::string_view* parts, size_t count);
    void wsClose(u32 slot, u32 gen, u16 code);
    // Appends to the output (sending directly when nothing is queued);
    // called with the connection's out_mu held.
    Err queueOutputLocked(Conn& c, const std::string_view* parts, size_t count, size_t limit);

    void* ctx_;
    Router router_;
    int listen_fd_ = -1;
    int epoll_fd_ = -1;
    int wake_fd_ = -1;
    u16 port_ = 0;
    Conn* conns_ = nullptr;
    u32 free_[kMaxConnections];
    u32 free_count_ = 0;
    u32 lingering_ = 0;
    Err setup_err_ = Err::None;
    Err loop_err_ = Err::None;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> wake_pending_{false};
    std::atomic<bool> close_requests_{false};

    // Request queue (loop -> handler threads).
    std::mutex job_mu_;
    std::condition_variable job_cv_;
    Job jobs_[kRequestQueueSize];
    size_t job_head_ = 0;
    size_t job_count_ = 0;
    bool workers_exit_ = false;

    // Finished requests (handler threads -> loop); each connection has at
    // most one request out, so kMaxConnections entries always suffice.
    std::mutex done_mu_;
    Done done_[kMaxConnections];
    size_t done_head_ = 0;
    size_t done_count_ = 0;

    std::thread workers_[kHandlerThreads];
};

}  // namespace tarvex
