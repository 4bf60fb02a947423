// stream_listener.cpp: the stream reader's epoll loop, its connection slots
// and the hand-over of framed messages.
#include "ingest/stream_listener.h"

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "common/clock.h"
#include "common/log.h"
#include "common/thread.h"
#include "ingest/stream_framer.h"
#include "ingest/stream_tls.h"
#include "ingest/wildcard_socket.h"

namespace tarvex {

namespace {

constexpr u64 kTagListenTcp = 1ull << 32;
constexpr u64 kTagListenTls = 2ull << 32;
constexpr u64 kTagWake = 3ull << 32;
constexpr int kEpollEvents = 64;
constexpr int kAcceptsPerWake = 64;
constexpr size_t kReadChunk = 64 * 1024;
constexpr i64 kSweepIntervalNs = 1'000'000'000;

struct StreamConn {
    StreamFramer framer;
    ssl_st* ssl;
    int fd;  // -1: a free slot
    u32 events;
    i64 last_data_ns;
    char source[46];
    u8 source_len;
    bool handshaking;
    bool pending;  // TLS: decrypted bytes wait inside the session

    std::string_view sourceIp() const { return {source, source_len}; }
};

// Everything the thread works with, allocated once when it starts.
struct StreamReader {
    StreamConn conns[kMaxStreamConnections];
    char data[kListenerBatch][kDatagramMax];
    Datagram batch[kListenerBatch];
    char chunk[kReadChunk];
    unsigned count;  // messages in batch
    unsigned open;   // connections in use
    StreamConn* current;
    ListenerTarget target;
    StreamCounters* counters;
    int epfd;
    int wake_fd;
    int listen_tcp;
    int listen_tls;
    ssl_ctx_st* tls;
};

void handOver(StreamReader& r) {
    if (r.count == 0 || !r.target.process) {
        r.count = 0;
        return;
    }
    if (r.target.begin) r.target.begin(r.target.ctx);
    r.target.process(r.target.ctx, r.batch, r.count, 0);
    if (r.target.end) r.target.end(r.target.ctx);
    r.count = 0;
}

// The framer's sink: one complete message of r.current.
void onMessage(void* ctx, const char* data, u32 len, bool cut) {
    StreamReader& r = *static_cast<StreamReader*>(ctx);
    if (r.count == kListenerBatch) handOver(r);
    Datagram& g = r.batch[r.count];
    std::memcpy(r.data[r.count], data, len);
    g.data = r.data[r.count];
    g.len = len;
    std::memcpy(g.source, r.current->source, r.current->source_len);
    g.source_len = r.current->source_len;
    ++r.count;
    r.counters->messages.fetch_add(1, std::memory_order_relaxed);
    if (cut) r.counters->messages_cut.fetch_add(1, std::memory_order_relaxed);
}

int openStreamSocket(u16 port, const char* what) {
    const WildcardSocket s = openWildcardSocket(SOCK_STREAM | SOCK_NONBLOCK);
    if (s.fd < 0) {
        logError("streams", "failed to create {} socket: {}", what, s.err);
        return -1;
    }
    int one = 1;
    if (setsockopt(s.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        logWarn("streams", "failed to set SO_REUSEADDR: {}", errFromErrno(errno));
    }
    if (Err e = bindWildcard(s, port); e != Err::None) {
        logError("streams", "failed to bind {} socket to port {}: {}", what, port, e);
        ::close(s.fd);
        return -1;
    }
    if (::listen(s.fd, 128) != 0) {
        logError("streams", "failed to listen on {} port {}: {}", what, port, errFromErrno(errno));
        ::close(s.fd);
        return -1;
    }
    logInfo("streams", "syslog {} listener started on {}:{}", what, wildcardText(s), port);
    return s.fd;
}

void setEvents(StreamReader& r, StreamConn& c, u32 events) {
    if (c.events == events) return;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = static_cast<u64>(&c - r.conns);
    epoll_ctl(r.epfd, EPOLL_CTL_MOD, c.fd, &ev);
    c.events = events;
}

// Closes a connection; with `finish`, a line it left without its LF is
// handed over first.
void closeConn(StreamReader& r, StreamConn& c, bool finish) {
    if (finish) {
        r.current = &c;
        if (c.framer.finish(onMessage, &r)) {
            r.counters->frames_incomplete.fetch_add(1, std::memory_order_relaxed);
            static LogLimit limit;
            logWarnLimited(limit, "streams",
                           "connection from {} ended inside an octet-counted frame; its partial "
                           "message was dropped",
                           c.sourceIp());
        }
    }
    c.framer.reset();
    if (c.ssl) {
        endTlsSession(c.ssl);
        c.ssl = nullptr;
        r.counters->tls_connections.fetch_sub(1, std::memory_order_relaxed);
    }
    epoll_ctl(r.epfd, EPOLL_CTL_DEL, c.fd, nullptr);
    ::close(c.fd);
    c.fd = -1;
    c.pending = false;
    --r.open;
    r.counters->connections.fetch_sub(1, std::memory_order_relaxed);
}

// Each limit has its own repeat limit on its line, so one kind of refusal
// never hides the other.
void refuse(int fd, std::string_view source, std::atomic<u64>& counter, LogLimit& limit,
            std::string_view why, unsigned limit_value) {
    ::close(fd);
    counter.fetch_add(1, std::memory_order_relaxed);
    logWarnLimited(limit, "streams", "refused a connection from {}: {} {}", source, limit_value,
                   why);
}

void acceptOn(StreamReader& r, int lfd, bool tls, const StreamOptions& opts) {
    for (int k = 0; k < kAcceptsPerWake; ++k) {
        sockaddr_storage a{};
        socklen_t alen = sizeof a;
        const int fd =
            ::accept4(lfd, reinterpret_cast<sockaddr*>(&a), &alen, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                static LogLimit limit;
                logWarnLimited(limit, "streams", "accept failed: {}", errFromErrno(errno));
            }
            return;
        }
        char source[46];
        const u8 source_len = formatSourceIp(a, source);
        const std::string_view src(source, source_len);
        if (r.open >= opts.max_connections) {
            static LogLimit limit;
            refuse(fd, src, r.counters->refused_total, limit, "stream connections are open",
                   opts.max_connections);
            continue;
        }
        StreamConn* slot = nullptr;
        unsigned same = 0;
        for (StreamConn& c : r.conns) {
            if (c.fd < 0) {
                if (!slot) slot = &c;
            } else if (c.sourceIp() == src) {
                ++same;
            }
        }
        if (same >= opts.max_per_sender) {
            static LogLimit limit;
            refuse(fd, src, r.counters->refused_sender, limit,
                   "connections are open from that address", opts.max_per_sender);
            continue;
        }
        if (!slot) {  // cannot happen while open < max_connections <= the pool
            ::close(fd);
            continue;
        }
        StreamConn& c = *slot;
        c.ssl = nullptr;
        if (tls) {
            c.ssl = newTlsSession(r.tls, fd);
            if (!c.ssl) {
                ::close(fd);
                r.counters->tls_failures.fetch_add(1, std::memory_order_relaxed);
                logWarn("streams", "no TLS session for {}: {}", src, Err::OutOfMemory);
                continue;
            }
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = static_cast<u64>(&c - r.conns);
        if (epoll_ctl(r.epfd, EPOLL_CTL_ADD, fd, &ev) != 0) {
            logWarn("streams", "failed to watch the connection from {}: {}", src,
                    errFromErrno(errno));
            if (c.ssl) endTlsSession(c.ssl);
            c.ssl = nullptr;
            ::close(fd);
            continue;
        }
        c.fd = fd;
        c.events = EPOLLIN;
        c.last_data_ns = monoNanos();
        std::memcpy(c.source, source, source_len);
        c.source_len = source_len;
        c.handshaking = tls;
        c.pending = false;
        c.framer.reset();
        ++r.open;
        r.counters->accepted.fetch_add(1, std::memory_order_relaxed);
        r.counters->connections.fetch_add(1, std::memory_order_relaxed);
        if (tls) r.counters->tls_connections.fetch_add(1, std::memory_order_relaxed);
        logDebug("streams", "{} connection from {}", tls ? "TLS" : "TCP", src);
    }
}

void tlsFailed(StreamReader& r, StreamConn& c, const char* during) {
    char why[160];
    r.counters->tls_failures.fetch_add(1, std::memory_order_relaxed);
    static LogLimit limit;
    logWarnLimited(limit, "streams", "TLS {} with {} failed: {}", during, c.sourceIp(),
                   tlsLastError(why));
    closeConn(r, c, true);
}

// Feeds one read to the connection's framer; false when the connection was
// closed for a frame that cannot be right.
bool feed(StreamReader& r, StreamConn& c, size_t n) {
    c.last_data_ns = monoNanos();
    r.current = &c;
    if (c.framer.feed(r.chunk, n, onMessage, &r) == FrameError::none) return true;
    r.counters->closed_bad_frame.fetch_add(1, std::memory_order_relaxed);
    static LogLimit limit;
    if (c.framer.badLength() == ~u64{0}) {
        logWarnLimited(limit, "streams",
                       "closing the connection from {}: an octet count of more than {} digits "
                       "cannot be right",
                       c.sourceIp(), kMaxLengthDigits);
    } else {
        logWarnLimited(limit, "streams",
                       "closing the connection from {}: an octet count of {} bytes cannot be "
                       "right (at most {})",
                       c.sourceIp(), c.framer.badLength(), kMaxFrameBytes);
    }
    closeConn(r, c, false);
    return false;
}

// Reads what the connection has, up to the read budget.
void serviceConn(StreamReader& r, StreamConn& c) {
    if (c.handshaking) {
        switch (tlsHandshake(c.ssl)) {
            case TlsStep::done:
                c.handshaking = false;
                setEvents(r, c, EPOLLIN);
                break;
            case TlsStep::want_read:
                setEvents(r, c, EPOLLIN);
                return;
            case TlsStep::want_write:
                setEvents(r, c, EPOLLOUT);
                return;
            case TlsStep::closed:
                closeConn(r, c, false);
                return;
            case TlsStep::failed:
                tlsFailed(r, c, "handshake");
                return;
        }
    }
    c.pending = false;
    size_t budget = kStreamReadBudget;
    while (budget > 0) {
        size_t n = 0;
        if (c.ssl) {
            switch (tlsRead(c.ssl, r.chunk, sizeof r.chunk, n)) {
                case TlsStep::done:
                    break;
                case TlsStep::want_read:
                    setEvents(r, c, EPOLLIN);
                    return;
                case TlsStep::want_write:
                    setEvents(r, c, EPOLLOUT);
                    return;
                case TlsStep::closed:
                    closeConn(r, c, true);
                    return;
                case TlsStep::failed:
                    tlsFailed(r, c, "read");
                    return;
            }
        } else {
            const ssize_t got = ::read(c.fd, r.chunk, sizeof r.chunk);
            if (got == 0) {
                closeConn(r, c, true);
                return;
            }
            if (got < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) return;
                logDebug("streams", "connection from {} failed: {}", c.sourceIp(),
                         errFromErrno(errno));
                closeConn(r, c, true);
                return;
            }
            n = static_cast<size_t>(got);
        }
        if (!feed(r, c, n)) return;
        budget -= n < budget ? n : budget;
        // A short plain read drained the socket; epoll says when more comes.
        if (!c.ssl && n < sizeof r.chunk) return;
    }
    // Out of budget: the socket (level-triggered) or the session's own
    // buffer brings this connection back on the next round.
    if (c.ssl) c.pending = true;
}

void sweepIdle(StreamReader& r, const StreamOptions& opts) {
    const i64 now = monoNanos();
    const i64 idle_ns = i64{opts.idle_seconds} * 1'000'000'000;
    for (StreamConn& c : r.conns) {
        if (c.fd < 0 || now - c.last_data_ns < idle_ns) continue;
        r.counters->closed_idle.fetch_add(1, std::memory_order_relaxed);
        static LogLimit limit;
        logWarnLimited(limit, "streams", "closing the connection from {}: nothing for {} s",
                       c.sourceIp(), opts.idle_seconds);
        closeConn(r, c, true);
    }
}

// The stop: no more connections; read what the connections already have
// (for at most kStopDrainMs), hand over every complete message and every
// line a closing connection leaves, and close them all.
void drainAndClose(StreamReader& r) {
    for (int* lfd : {&r.listen_tcp, &r.listen_tls}) {
        if (*lfd >= 0) ::close(*lfd);
        *lfd = -1;
    }
    const i64 deadline = monoNanos() + i64{kStopDrainMs} * 1'000'000;
    unsigned closed = r.open;
    for (StreamConn& c : r.conns) {
        if (c.fd < 0) continue;
        if (!c.handshaking && monoNanos() < deadline) serviceConn(r, c);
        if (c.fd >= 0) closeConn(r, c, true);
    }
    handOver(r);
    logInfo("streams", "syslog stream listener stopped ({} connections closed)", closed);
}

void runLoop(StreamReader& r, const StreamOptions& opts) {
    ListenerControl* const control = opts.control;
    epoll_event events[kEpollEvents];
    i64 last_sweep = monoNanos();
    for (;;) {
        if (control && control->stopRequested()) break;
        bool any_pending = false;
        for (const StreamConn& c : r.conns) any_pending |= c.fd >= 0 && c.pending;
        const int n = epoll_wait(r.epfd, events, kEpollEvents, any_pending ? 0 : 1000);
        for (int k = 0; k < n; ++k) {
            const u64 tag = events[k].data.u64;
            if (tag == kTagWake) {
                u64 v;
                ssize_t got = ::read(r.wake_fd, &v, sizeof v);
                (void)got;
            } else if (tag == kTagListenTcp || tag == kTagListenTls) {
                if (!(control && control->stopRequested()))
                    acceptOn(r, tag == kTagListenTcp ? r.listen_tcp : r.listen_tls,
                             tag == kTagListenTls, opts);
            } else if (tag < kMaxStreamConnections && r.conns[tag].fd >= 0) {
                serviceConn(r, r.conns[tag]);
            }
        }
        if (any_pending) {
            for (StreamConn& c : r.conns)
                if (c.fd >= 0 && c.pending) serviceConn(r, c);
        }
        handOver(r);
        const i64 now = monoNanos();
        if (now - last_sweep >= kSweepIntervalNs) {
            last_sweep = now;
            sweepIdle(r, opts);
            handOver(r);
        }
    }
    drainAndClose(r);
}

bool watch(StreamReader& r, int fd, u64 tag) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = tag;
    return epoll_ctl(r.epfd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

// Opens what is configured; false when there is nothing to serve.
bool openListeners(StreamReader& r, const StreamOptions& opts) {
    if (opts.tcp_port != 0) r.listen_tcp = openStreamSocket(opts.tcp_port, "TCP");
    if (opts.tls_port != 0) {
        char why[160];
        if (opts.tls_cert.empty() || opts.tls_key.empty()) {
            logError("streams",
                     "TLS listener not started: SYSLOG_TLS_CERT and SYSLOG_TLS_KEY must name the "
                     "PEM certificate and key");
        } else if (!(r.tls =
                         loadTlsServerContext(opts.tls_cert.c_str(), opts.tls_key.c_str(), why))) {
            logError("streams",
                     "TLS listener not started: cannot load certificate '{}' and key '{}': {}",
                     std::string_view(opts.tls_cert), std::string_view(opts.tls_key),
                     std::string_view(why));
        } else {
            r.listen_tls = openStreamSocket(opts.tls_port, "TLS");
        }
    }
    if (r.listen_tcp >= 0 && !watch(r, r.listen_tcp, kTagListenTcp)) {
        ::close(r.listen_tcp);
        r.listen_tcp = -1;
    }
    if (r.listen_tls >= 0 && !watch(r, r.listen_tls, kTagListenTls)) {
        ::close(r.listen_tls);
        r.listen_tls = -1;
    }
    return r.listen_tcp >= 0 || r.listen_tls >= 0;
}

struct SpawnArgs {
    ListenerTarget target;
    StreamOptions opts;
};

void* streamThread(void* p) {
    SpawnArgs* args = static_cast<SpawnArgs*>(p);
    nameThisThread("tarvex-streams");
    runStreamListener(args->target, args->opts);
    delete args;
    return nullptr;
}

}  // namespace

void runStreamListener(ListenerTarget target, const StreamOptions& opts) {
    struct Finished {
        ListenerControl* c;
        ~Finished() {
            if (c) c->finished();
        }
    } finished{opts.control};
    if (!opts.counters) return;
    StreamOptions o = opts;
    if (o.max_connections > kMaxStreamConnections) o.max_connections = kMaxStreamConnections;
    auto* r = new (std::nothrow) StreamReader;
    if (!r) {
        logError("streams", "failed to allocate the connection slots: {}", Err::OutOfMemory);
        return;
    }
    for (StreamConn& c : r->conns) {
        c.fd = -1;
        c.ssl = nullptr;
        c.pending = false;
        c.framer.reset();
    }
    r->count = r->open = 0;
    r->current = nullptr;
    r->target = target;
    r->counters = opts.counters;
    r->listen_tcp = r->listen_tls = -1;
    r->tls = nullptr;
    r->epfd = epoll_create1(EPOLL_CLOEXEC);
    r->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (r->epfd < 0 || r->wake_fd < 0 || !watch(*r, r->wake_fd, kTagWake)) {
        logError("streams", "failed to set up the stream reader: {}", errFromErrno(errno));
    } else if (openListeners(*r, o)) {
        if (o.control) o.control->attachWakeFd(r->wake_fd);
        runLoop(*r, o);
    }
    // The control no longer writes to the eventfd once finished() ran, but
    // that is after this returns: detach it first.
    if (o.control) o.control->attachWakeFd(-1);
    if (r->tls) freeTlsServerContext(r->tls);
    if (r->epfd >= 0) ::close(r->epfd);
    if (r->wake_fd >= 0) ::close(r->wake_fd);
    delete r;
}

Err spawnStreamListener(ListenerTarget target, const StreamOptions& opts) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return Err::SystemResources;
    pthread_attr_setstacksize(&attr, 16u << 20);
    pthread_attr_setguardsize(&attr, 4096);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    auto* args = new (std::nothrow) SpawnArgs{target, opts};
    if (!args) {
        pthread_attr_destroy(&attr);
        return Err::OutOfMemory;
    }
    pthread_t t;
    int rc = pthread_create(&t, &attr, streamThread, args);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete args;
        return rc == EAGAIN ? Err::SystemResources : errFromErrno(rc);
    }
    return Err::None;
}

}  // namespace tarvex
