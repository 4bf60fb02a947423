// handler_pool.h: the handler threads that run requests, and their queues to and from the loop.
//
// Private to src/http; HttpServer owns one. The event loop hands each
// complete request to dispatch(), which queues its connection slot (at most
// kRequestQueueSize waiting). One of kHandlerThreads threads takes it up,
// runs the route with the thread's own arena, writes the response to the
// connection (or the 101 reply and after_init of a WebSocket upgrade) and
// posts a RequestDone back, waking the loop; the loop collects them with
// takeDone() and takes the connection back.
//
// Locks:
//   - job_mu_ guards the request queue and workers_exit_: the loop pushes,
//     handler threads pop (job_cv_ wakes them);
//   - done_mu_ guards the done notices: handler threads push, the loop pops.
//     A connection has at most one request out, so kMaxConnections entries
//     always suffice.
//
// Thread-safety: start(), dispatch(), takeDone() and stop() are called by
// the loop thread (serve()); the rest runs on the handler threads.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/types.h"
#include "http/arena.h"
#include "http/router.h"
#include "http/server.h"

namespace tarvex {

// A request a handler has finished: what the loop does with its connection.
struct RequestDone {
    u32 slot;
    bool keep_alive;
    bool upgraded;  // the response was a WebSocket upgrade
};

class HandlerPool {
  public:
    // Runs requests of `conns` (kMaxConnections slots) through `router`,
    // handing `ctx` to every handler; `server` is woken for done notices and
    // named in the WsConn handles of upgraded connections.
    HandlerPool(HttpServer& server, Conn* conns, const Router& router, void* ctx);
    HandlerPool(const HandlerPool&) = delete;
    HandlerPool& operator=(const HandlerPool&) = delete;

    // Starts the kHandlerThreads threads.
    void start();
    // Queues the parsed request of connection `slot` and marks the
    // connection dispatched (under job_mu_, before any handler can take it
    // up); false, and nothing changed, when kRequestQueueSize requests wait
    // already.
    bool dispatch(u32 slot);
    // The oldest done notice, if any.
    bool takeDone(RequestDone& d);
    // Lets the threads finish the queued requests, joins them and drops the
    // done notices the loop will not collect.
    void stop();

  private:
    struct Job {
        u32 slot;
    };

    void workerMain();
    void handleRequest(u32 slot, Arena& arena, char* head_buf, size_t head_cap);
    void postDone(const RequestDone& d);

    HttpServer& server_;
    Conn* conns_;
    const Router& router_;
    void* ctx_;

    // Request queue (loop -> handler threads), under job_mu_.
    std::mutex job_mu_;
    std::condition_variable job_cv_;
    Job jobs_[kRequestQueueSize];
    size_t job_head_ = 0;
    size_t job_count_ = 0;
    bool workers_exit_ = false;

    // Finished requests (handler threads -> loop), under done_mu_.
    std::mutex done_mu_;
    RequestDone done_[kMaxConnections];
    size_t done_head_ = 0;
    size_t done_count_ = 0;

    std::thread workers_[kHandlerThreads];
};

}  // namespace tarvex
