// handler_pool.cpp: the handler threads: running a request with its arena, posting done notices.
#include "http/handler_pool.h"

#include <new>

#include "common/format.h"
#include "common/log.h"
#include "http/conn.h"

namespace tarvex {

namespace {

constexpr size_t kHeadBytes = 4096;

}  // namespace

HandlerPool::HandlerPool(HttpServer& server, Conn* conns, const Router& router, void* ctx)
    : server_(server), conns_(conns), router_(router), ctx_(ctx) {}

void HandlerPool::start() {
    for (auto& t : workers_) t = std::thread([this] { workerMain(); });
}

bool HandlerPool::dispatch(u32 slot) {
    {
        std::lock_guard<std::mutex> l(job_mu_);
        if (job_count_ >= kRequestQueueSize) return false;
        jobs_[(job_head_ + job_count_) % kRequestQueueSize] = Job{slot};
        ++job_count_;
        conns_[slot].state = ConnState::dispatched;
    }
    job_cv_.notify_one();
    return true;
}

bool HandlerPool::takeDone(RequestDone& d) {
    std::lock_guard<std::mutex> l(done_mu_);
    if (done_count_ == 0) return false;
    d = done_[done_head_];
    done_head_ = (done_head_ + 1) % kMaxConnections;
    --done_count_;
    return true;
}

void HandlerPool::stop() {
    {
        std::lock_guard<std::mutex> l(job_mu_);
        workers_exit_ = true;
    }
    job_cv_.notify_all();
    for (auto& t : workers_) t.join();
    std::lock_guard<std::mutex> l(done_mu_);
    done_count_ = 0;
}

void HandlerPool::workerMain() {
    lowerPriority("tarvex-handler");
    char scratch[kHandlerScratchBytes];
    char head[kHeadBytes];
    Arena arena(scratch, sizeof scratch);
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> l(job_mu_);
            job_cv_.wait(l, [this] { return job_count_ > 0 || workers_exit_; });
            if (job_count_ == 0) return;
            job = jobs_[job_head_];
            job_head_ = (job_head_ + 1) % kRequestQueueSize;
            --job_count_;
        }
        handleRequest(job.slot, arena, head, sizeof head);
        arena.reset();
    }
}

void HandlerPool::handleRequest(u32 slot, Arena& arena, char* head, size_t head_cap) {
    Conn& c = conns_[slot];
    HttpRequest& req = c.req;
    req.resetForDispatch(&arena);
    req.peer = c.peerText();
    HttpResponse res(&arena);
    bool keep_alive = req.head.keep_alive;
    HttpGuard guard = router_.guard();
    const Route* route = nullptr;
    bool refused = guard && !guard(ctx_, req, res);
    if (!refused) route = router_.match(req.method(), req.path(), req);
    if (refused) {
        // The guard's refusal is the answer.
    } else if (!route) {
        u32 allowed = router_.allowedMethods(req.path());
        if (allowed != 0) {
            // The path exists, but not for this method.
            auto* text = static_cast<char*>(arena.alloc(64, 1));
            size_t n = text ? Router::formatAllow(allowed, text, 64) : 0;
            res.status = 405;
            res.setBody("Method Not Allowed");
            if (n) res.addHeader("Allow", {text, n});
        } else {
            res.status = 404;
            res.setBody("Not Found");
        }
    } else {
        Err err = Err::None;
        try {
            err = route->handler(ctx_, req, res);
            if (err == Err::None) err = res.bodyErr();
        } catch (const std::bad_alloc&) {
            err = Err::OutOfMemory;
        } catch (...) {
            err = Err::Unexpected;
        }
        if (err != Err::None) {
            logPlain("warning: http: unhandled exception for request: {}\nErr: {}", req.target(),
                     err);
            res.reset();
            res.status = 500;
            res.setBody("Internal Server Error");
        }
    }
    if (res.wsCallbacks()) {
        char key[28];
        std::string_view accept = wsAcceptKey(req.header("sec-websocket-key"), key);
        if (!accept.empty()) {
            TextBuf b(head, head_cap);
            b.append(
                "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: "
                "upgrade\r\nSec-Websocket-Accept: ");
            b.append(accept);
            b.append("\r\n");
            for (u32 i = 0; i < res.extraHeaderCount(); ++i) {
                const Header& h = res.extraHeader(i);
                b.append(h.name);
                b.append(": ");
                b.append(h.value);
                b.append("\r\n");
            }
            b.append("\r\n");
            u32 gen;
            {
                std::lock_guard<std::mutex> l(c.out_mu);
                std::string_view part = b.view();
                queueOutputLocked(c, &part, 1, SIZE_MAX);
                c.ws_open = c.open;
                gen = c.gen;
            }
            c.ws = res.wsCallbacks();
            c.ws_user = res.wsUser();
            c.ws_await_first = res.wsAwaitFirst();
            if (c.ws->after_init) c.ws->after_init(c.ws_user, WsConn{&server_, slot, gen});
            server_.counters_.count(101);
            postDone(RequestDone{slot, true, true});
            return;
        }
        res.reset();
        res.status = 500;
        res.setBody("Internal Server Error");
    }

    std::string_view connection;
    if (!keep_alive) {
        connection = "close";
    } else if (req.head.version_minor == 0) {
        connection = "keep-alive";
    }
    std::string_view body = res.body();
    size_t n = writeResponseHead(res, body.size(), connection, head, head_cap);
    std::string_view parts[2];
    size_t count = 2;
    if (n == 0) {
        parts[0] = kReplyInternalError;
        count = 1;
        keep_alive = false;
        server_.counters_.count(500);
    } else {
        server_.counters_.count(res.status);
        parts[0] = {head, n};
        parts[1] = req.method() == Method::head ? std::string_view{} : body;
    }
    {
        std::lock_guard<std::mutex> l(c.out_mu);
        queueOutputLocked(c, parts, count, SIZE_MAX);
    }
    postDone(RequestDone{slot, keep_alive, false});
}

void HandlerPool::postDone(const RequestDone& d) {
    {
        std::lock_guard<std::mutex> l(done_mu_);
        done_[(done_head_ + done_count_) % kMaxConnections] = d;
        ++done_count_;
    }
    server_.wakeForDone();
}

}  // namespace tarvex
