// event_loop.cpp: the event loop: accept, read, connection slots, drain output, close, linger.
#include "http/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/clock.h"
#include "common/format.h"
#include "common/log.h"
#include "http/conn.h"
#include "http/handler_pool.h"

namespace tarvex {

namespace {

constexpr size_t kInitialInBytes = 16 * 1024;
constexpr size_t kMaxInBytes = kMaxRequestBytes + 4096;
constexpr i64 kLingerNanos = 2'000'000'000;
constexpr size_t kMaxLingerDiscard = 1024 * 1024;
constexpr u32 kListenSlot = kMaxConnections;
constexpr u32 kWakeSlot = kMaxConnections + 1;

u64 eventData(u32 slot, u32 gen) {
    return (u64{gen} << 32) | slot;
}

// The client address as 16 bytes (IPv4 mapped into ::ffff:0:0/96) and as text.
void peerAddress(const sockaddr_storage& addr, u8 out[16], char* ip, size_t ip_cap, u16& port) {
    std::memset(out, 0, 16);
    if (addr.ss_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
        out[10] = out[11] = 0xFF;
        std::memcpy(out + 12, &a->sin_addr, 4);
        inet_ntop(AF_INET, &a->sin_addr, ip, static_cast<socklen_t>(ip_cap));
        port = ntohs(a->sin_port);
    } else if (addr.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
        std::memcpy(out, &a->sin6_addr, 16);
        inet_ntop(AF_INET6, &a->sin6_addr, ip, static_cast<socklen_t>(ip_cap));
        port = ntohs(a->sin6_port);
    }
}

}  // namespace

HttpServer::HttpServer(void* ctx, const HttpServerOptions& options) : ctx_(ctx), opts_(options) {
    if (opts_.max_conns_per_address == 0) opts_.max_conns_per_address = 1;
    conns_ = new Conn[kMaxConnections];
    pool_ = std::make_unique<HandlerPool>(*this, conns_, router_, ctx_);
    for (u32 i = 0; i < kMaxConnections; ++i) free_[i] = kMaxConnections - 1 - i;
    free_count_ = kMaxConnections;
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd_ < 0) setup_err_ = errFromErrno(errno);
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0 && setup_err_ == Err::None) setup_err_ = errFromErrno(errno);
}

HttpServer::~HttpServer() {
    for (size_t i = 0; i < kMaxConnections; ++i) {
        Conn& c = conns_[i];
        if (c.fd >= 0) ::close(c.fd);
        std::free(c.in);
        std::free(c.out);
        std::free(c.ws_msg);
    }
    delete[] conns_;
    if (listen_fd_ >= 0) ::close(listen_fd_);
    if (epoll_fd_ >= 0) ::close(epoll_fd_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
}

Err HttpServer::bind(std::string_view host, u16 port) {
    char host_z[64];
    if (host.size() >= sizeof host_z) return Err::InvalidAddress;
    std::memcpy(host_z, host.data(), host.size());
    host_z[host.size()] = 0;
    sockaddr_storage ss{};
    socklen_t len = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&ss);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&ss);
    if (inet_pton(AF_INET, host_z, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        len = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, host_z, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        len = sizeof(sockaddr_in6);
    } else {
        return Err::InvalidAddress;
    }
    int fd = ::socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return errFromErrno(errno);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 ||
        ::listen(fd, kListenBacklog) != 0) {
        Err e = errFromErrno(errno);
        ::close(fd);
        return e;
    }
    sockaddr_storage bound{};
    socklen_t blen = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &blen);
    port_ = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                                             : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
    listen_fd_ = fd;
    return Err::None;
}

Err HttpServer::listen(std::string_view host, u16 port) {
    if (Err e = bind(host, port); e != Err::None) return e;
    return serve();
}

void HttpServer::stop() {
    stopping_.store(true);
    wake();
}

void HttpServer::wake() {
    u64 one = 1;
    ssize_t w = ::write(wake_fd_, &one, sizeof one);
    if (w < 0 && errno != EAGAIN)
        logError("http", "failed to signal worker: {}", errFromErrno(errno));
}

void HttpServer::wakeForDone() {
    if (!wake_pending_.exchange(true)) wake();
}

Err HttpServer::serve() {
    if (listen_fd_ < 0) return Err::SocketNotConnected;
    if (setup_err_ != Err::None) {
        logError("http", "Failed to start event loop: {}", setup_err_);
        return setup_err_;
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = kListenSlot;
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, listen_fd_, &ev) != 0) {
        Err e = errFromErrno(errno);
        logError("http", "Failed to add monitor to listening socket: {}", e);
        return e;
    }
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = kWakeSlot;
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &ev) != 0) {
        Err e = errFromErrno(errno);
        logError("http", "Failed to enable monitor to listening socket: {}", e);
        return e;
    }
    pool_->start();

    loop();

    pool_->stop();
    logInfo("websocket", "received shutdown signal");
    for (u32 i = 0; i < kMaxConnections; ++i) {
        Conn& c = conns_[i];
        if (c.state == ConnState::websocket) {
            // Feed clients learn that the server is going away (1001), so
            // they reconnect later instead of reporting an error; what the
            // socket takes at once is all they get.
            wsClose(i, c.gen, 1001);
            drainOutput(c);
        }
        if (c.state != ConnState::free) closeNow(c);
    }
    ::close(listen_fd_);
    listen_fd_ = -1;
    return loop_err_;
}

void HttpServer::loop() {
    lowerPriority("tarvex-http");
    epoll_event events[256];
    // The time-outs are checked a few times per head time-out, at least once
    // a second.
    i64 sweep_ns = i64{opts_.head_timeout_ms} * 1'000'000 / 4;
    if (sweep_ns > 1'000'000'000) sweep_ns = 1'000'000'000;
    if (sweep_ns < 10'000'000) sweep_ns = 10'000'000;
    int sweep_ms = static_cast<int>(sweep_ns / 1'000'000);
    now_ = monoNanos();
    last_sweep_ = now_;
    for (;;) {
        int timeout = lingering_ > 0 && sweep_ms > 250 ? 250 : sweep_ms;
        int n = epoll_wait(epoll_fd_, events, 256, timeout);
        now_ = monoNanos();
        if (n < 0) {
            if (errno == EINTR) continue;
            loop_err_ = errFromErrno(errno);
            logError("http", "server error: {}", loop_err_);
            return;
        }
        bool woken = false;
        for (int i = 0; i < n; ++i) {
            u64 d = events[i].data.u64;
            auto slot = static_cast<u32>(d & 0xFFFFFFFFu);
            if (slot == kListenSlot) {
                acceptAll();
            } else if (slot == kWakeSlot) {
                woken = true;
            } else {
                onEvent(slot, static_cast<u32>(d >> 32), events[i].events);
            }
        }
        if (woken) {
            u64 v;
            while (::read(wake_fd_, &v, sizeof v) > 0) {
            }
            wake_pending_.store(false);
        }
        RequestDone d;
        while (pool_->takeDone(d)) finishRequest(d);
        if (close_requests_.exchange(false)) {
            for (u32 i = 0; i < kMaxConnections; ++i) {
                Conn& c = conns_[i];
                if (c.state == ConnState::free || c.state == ConnState::dispatched) continue;
                u8 how = c.close_requested.exchange(0);
                if (how == 2 || c.state == ConnState::lingering) {
                    if (how == 2) closeNow(c);
                } else if (how == 1) {
                    closeAfterFlush(c);
                }
            }
        }
        if (lingering_ > 0) lingerSweep();
        if (now_ - last_sweep_ >= sweep_ns) {
            last_sweep_ = now_;
            timeoutSweep();
        }
        if (stopping_.load()) return;
    }
}

void HttpServer::acceptAll() {
    for (;;) {
        sockaddr_storage addr{};
        socklen_t alen = sizeof addr;
        int fd = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &alen,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            accept_blocked_ = false;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: the pending connections wait in the
                // backlog and the sweep tries again.
                accept_blocked_ = true;
                noteAcceptRefusal(AcceptRefusal::no_descriptor, {}, errFromErrno(errno));
            } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
                logError("http", "Failed to accept connection: {}", errFromErrno(errno));
            }
            return;
        }
        if (stopping_.load()) {
            ::close(fd);
            continue;
        }
        u8 paddr[16];
        char ip[INET6_ADDRSTRLEN] = "?";
        u16 pport = 0;
        peerAddress(addr, paddr, ip, sizeof ip, pport);
        if (free_count_ == 0) {
            ::close(fd);  // over the connection limit
            noteAcceptRefusal(AcceptRefusal::table_full, ip, Err::None);
            continue;
        }
        if (!addressTake(paddr)) {
            ::close(fd);  // over the per-address limit
            noteAcceptRefusal(AcceptRefusal::per_address, ip, Err::None);
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        u32 slot = free_[--free_count_];
        Conn& c = conns_[slot];
        if (!c.in) {
            c.in = static_cast<char*>(std::malloc(kInitialInBytes));
            if (!c.in) {
                ::close(fd);
                addressRelease(paddr);
                free_[free_count_++] = slot;
                continue;
            }
            c.in_cap = kInitialInBytes;
        }
        c.fd = fd;
        c.state = ConnState::reading;
        c.readable = false;
        c.peer_eof = false;
        c.hup_seen = false;
        c.sent_continue = false;
        c.close_after_flush = false;
        c.close_when_done = false;
        c.ws_closed_cb = false;
        c.in_len = 0;
        c.req_len = 0;
        c.ws = nullptr;
        c.ws_user = nullptr;
        c.ws_msg_len = 0;
        c.ws_in_msg = false;
        c.out_pending.store(false);
        c.req_start = now_;
        c.last_active = now_;
        c.served = 0;
        c.head_done = false;
        c.ws_await_first = false;
        c.ws_pinged = false;
        std::memcpy(c.addr, paddr, 16);
        c.addr_counted = true;
        TextBuf pb(c.peer, sizeof c.peer);
        formatInto(pb, "{}:{}", std::string_view(ip), pport);
        c.peer_len = pb.len;
        u32 gen;
        {
            std::lock_guard<std::mutex> l(c.out_mu);
            gen = ++c.gen;
            c.close_requested.store(0);
            c.open = true;
            c.ws_open = false;
            c.out_head = 0;
            c.out_len = 0;
        }
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        ev.data.u64 = eventData(slot, gen);
        if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
            logError("http", "Failed to accept connection: {}", errFromErrno(errno));
            closeNow(c);
        }
    }
}

void HttpServer::onEvent(u32 slot, u32 gen, u32 events) {
    if (slot >= kMaxConnections) return;
    Conn& c = conns_[slot];
    if (c.state == ConnState::free || c.gen != gen) return;  // stale event
    if (events & EPOLLERR) {
        if (c.state == ConnState::dispatched) {
            c.close_when_done = true;
        } else {
            closeNow(c);
        }
        return;
    }
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) c.readable = true;
    if (events & (EPOLLRDHUP | EPOLLHUP)) c.hup_seen = true;
    if ((events & EPOLLOUT) && c.out_pending.load()) drainOutput(c);
    if (c.state != ConnState::free) service(c);
}

void HttpServer::service(Conn& c) {
    switch (c.state) {
        case ConnState::reading:
            serviceHttp(c);
            break;
        case ConnState::websocket:
            serviceWs(c);
            break;
        case ConnState::lingering:
            while (c.state == ConnState::lingering && c.readable) {
                c.in_len = 0;
                if (!readMore(c) || c.peer_eof) {
                    if (c.peer_eof || c.read_failed) closeNow(c);
                    break;
                }
                c.linger_discarded += c.in_len;
                if (c.linger_discarded > kMaxLingerDiscard) closeNow(c);
            }
            break;
        case ConnState::free:
        case ConnState::dispatched:
            break;
    }
}

bool HttpServer::readMore(Conn& c) {
    if (c.in_cap - c.in_len < 4096 && c.in_cap < kMaxInBytes) {
        size_t cap = c.in_cap * 2;
        if (cap > kMaxInBytes) cap = kMaxInBytes;
        auto* p = static_cast<char*>(std::realloc(c.in, cap));
        if (p) {
            c.in = p;
            c.in_cap = cap;
        }
    }
    size_t space = c.in_cap - c.in_len;
    if (space == 0) return false;
    for (;;) {
        ssize_t n = ::read(c.fd, c.in + c.in_len, space);
        if (n > 0) {
            // The first byte of a later request starts its head time-out.
            if (c.in_len == 0 && c.served > 0 && c.state == ConnState::reading) c.req_start = now_;
            c.last_active = now_;
            c.ws_pinged = false;
            c.in_len += static_cast<size_t>(n);
            // A short read drained the socket; the next edge brings more.
            if (static_cast<size_t>(n) < space && !c.hup_seen) c.readable = false;
            return true;
        }
        if (n == 0) {
            c.peer_eof = true;
            c.readable = false;
            return false;
        }
        if (errno == EINTR) continue;
        c.readable = false;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            c.read_failed = true;
            c.read_err = errFromErrno(errno);
        }
        return false;
    }
}

void HttpServer::serviceHttp(Conn& c) {
    while (c.state == ConnState::reading) {
        // The previous response must leave before the next request is taken
        // up, so a client that sends but never reads cannot make the output
        // grow; the drain on the next EPOLLOUT comes back here.
        if (c.out_pending.load()) return;
        ParseResult r = parseRequest({c.in, c.in_len}, c.req.head);
        c.head_done = r.head_done;
        switch (r.status) {
            case ParseStatus::incomplete:
                if (r.head_done && !c.sent_continue && c.req.head.version_minor == 1 &&
                    equalsIgnoreCase(c.req.head.header("expect"), "100-continue")) {
                    // The client waits for this before it sends the body.
                    c.sent_continue = true;
                    std::string_view cont = "HTTP/1.1 100 Continue\r\n\r\n";
                    std::lock_guard<std::mutex> l(c.out_mu);
                    queueOutputLocked(c, &cont, 1, SIZE_MAX);
                }
                if (c.readable && readMore(c)) continue;
                if (c.read_failed) {
                    closeNow(c);
                } else if (c.peer_eof) {
                    if (c.in_len == 0) {
                        closeAfterFlush(c);
                    } else {
                        replyAndClose(c, kReplyBadRequest);  // cut off mid-request
                    }
                } else if (c.in_len == c.in_cap && c.in_cap >= kMaxInBytes) {
                    refuseRequest(c, kReplyBodyTooBig);
                }
                return;
            case ParseStatus::invalid:
                refuseRequest(c, kReplyBadRequest);
                return;
            case ParseStatus::header_too_big:
                refuseRequest(c, kReplyHeaderTooBig);
                return;
            case ParseStatus::body_too_big:
                refuseRequest(c, kReplyBodyTooBig);
                return;
            case ParseStatus::complete:
                break;
        }
        HttpRequest& req = c.req;
        req.has_body = req.head.has_body;
        if (req.head.chunked) {
            auto* dst = const_cast<char*>(req.head.body_raw.data());
            size_t n = decodeChunked(req.head.body_raw, dst);
            req.body = {dst, n};
        } else {
            req.body = req.head.body_raw;
        }
        c.req_len = r.consumed;
        if (!pool_->dispatch(slotOf(c))) {
            replyAndClose(c, kReplyInternalError);  // every handler busy, queue full
        }
        return;
    }
}

u32 HttpServer::slotOf(const Conn& c) const {
    return static_cast<u32>(&c - conns_);
}

void HttpServer::drainOutput(Conn& c) {
    bool empty;
    {
        std::lock_guard<std::mutex> l(c.out_mu);
        while (c.out_head < c.out_len) {
            ssize_t w = ::send(c.fd, c.out + c.out_head, c.out_len - c.out_head,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w > 0) {
                c.out_head += static_cast<size_t>(w);
                c.last_active = now_;
                continue;
            }
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            c.open = false;
            c.out_head = c.out_len = 0;
            break;
        }
        empty = c.out_head == c.out_len;
        if (empty) {
            c.out_head = c.out_len = 0;
            c.out_pending.store(false);
            if (c.out_cap > 256 * 1024) {
                std::free(c.out);
                c.out = nullptr;
                c.out_cap = 0;
            }
        }
    }
    if (empty && c.close_after_flush && c.state != ConnState::lingering &&
        c.state != ConnState::dispatched) {
        shutdownAndLinger(c);
    }
}

void HttpServer::finishRequest(const RequestDone& d) {
    Conn& c = conns_[d.slot];
    if (c.state != ConnState::dispatched) return;
    // Drop the request's bytes; keep what the client pipelined after it.
    size_t rest = c.in_len - c.req_len;
    if (rest) std::memmove(c.in, c.in + c.req_len, rest);
    c.in_len = rest;
    c.req_len = 0;
    c.sent_continue = false;
    ++c.served;
    c.req_start = now_;
    c.last_active = now_;
    c.head_done = false;
    c.ws_pinged = false;
    if (c.in_cap > 4 * kInitialInBytes && c.in_len <= kInitialInBytes) {
        if (auto* p = static_cast<char*>(std::realloc(c.in, kInitialInBytes))) {
            c.in = p;
            c.in_cap = kInitialInBytes;
        }
    }
    if (d.upgraded) {
        c.state = ConnState::websocket;
        if (!c.ws_msg) c.ws_msg = static_cast<char*>(std::malloc(kMaxWsMessage));
        if (!c.ws_msg) {
            closeNow(c);
            return;
        }
    } else {
        c.state = ConnState::reading;
    }
    if (c.close_when_done) {
        closeNow(c);
        return;
    }
    u8 how = c.close_requested.exchange(0);
    if (how == 2) {
        closeNow(c);
        return;
    }
    if (how == 1 || !d.keep_alive) {
        closeAfterFlush(c);
        return;
    }
    service(c);
}

void HttpServer::replyAndClose(Conn& c, std::string_view reply) {
    // The fixed replies start "HTTP/1.1 NNN ".
    if (reply.size() > 12) {
        counters_.count(
            static_cast<u16>((reply[9] - '0') * 100 + (reply[10] - '0') * 10 + (reply[11] - '0')));
    }
    {
        std::lock_guard<std::mutex> l(c.out_mu);
        queueOutputLocked(c, &reply, 1, SIZE_MAX);
    }
    closeAfterFlush(c);
}

void HttpServer::closeAfterFlush(Conn& c) {
    if (c.state == ConnState::lingering || c.state == ConnState::free) return;
    c.close_after_flush = true;
    if (!c.out_pending.load()) shutdownAndLinger(c);
}

void HttpServer::shutdownAndLinger(Conn& c) {
    runWsClose(c);
    {
        std::lock_guard<std::mutex> l(c.out_mu);
        c.open = false;
    }
    if (c.peer_eof || c.read_failed) {
        closeNow(c);
        return;
    }
    ::shutdown(c.fd, SHUT_WR);
    c.state = ConnState::lingering;
    c.linger_deadline = monoNanos() + kLingerNanos;
    c.linger_discarded = 0;
    ++lingering_;
    service(c);
}

void HttpServer::closeNow(Conn& c) {
    if (c.state == ConnState::free) return;
    runWsClose(c);
    if (c.state == ConnState::lingering) --lingering_;
    {
        std::lock_guard<std::mutex> l(c.out_mu);
        c.open = false;
        c.ws_open = false;
        c.out_head = c.out_len = 0;
        if (c.out_cap > 64 * 1024) {
            std::free(c.out);
            c.out = nullptr;
            c.out_cap = 0;
        }
    }
    c.out_pending.store(false);
    ::close(c.fd);
    c.fd = -1;
    if (c.addr_counted) {
        addressRelease(c.addr);
        c.addr_counted = false;
    }
    c.state = ConnState::free;
    c.ws = nullptr;
    c.read_failed = false;
    if (c.in_cap > kInitialInBytes) {
        if (auto* p = static_cast<char*>(std::realloc(c.in, kInitialInBytes))) {
            c.in = p;
            c.in_cap = kInitialInBytes;
        }
    }
    free_[free_count_++] = slotOf(c);
}

void HttpServer::lingerSweep() {
    i64 now = monoNanos();
    for (u32 i = 0; i < kMaxConnections; ++i) {
        Conn& c = conns_[i];
        if (c.state == ConnState::lingering && now >= c.linger_deadline) closeNow(c);
    }
}

}  // namespace tarvex
