// listener.cpp: socket set-up and the receive loop.
#include "ingest/listener.h"

#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <poll.h>
#include <pthread.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/clock.h"
#include "common/log.h"
#include "common/thread.h"
#include "ingest/wildcard_socket.h"

namespace tarvex {

namespace {

constexpr i64 kDropWarnIntervalNs = 10LL * 1000 * 1000 * 1000;

// A receive error by the names the listener reports; anything else is
// Unexpected.
Err receiveErrorName(int errnum) {
    Err e = errFromErrno(errnum);
    switch (e) {
        case Err::WouldBlock:
        case Err::SystemResources:
        case Err::ConnectionResetByPeer:
        case Err::SocketNotConnected:
        case Err::ConnectionTimedOut:
        case Err::ConnectionRefused:
            return e;
        default:
            return Err::Unexpected;
    }
}

// Asks for the receive buffer and logs what the kernel granted. The kernel
// reports twice the usable size it books; half of it is the figure asked for.
void setReceiveBuffer(int fd, const ListenerOptions& opts) {
    int want = opts.receive_buffer;
    bool set =
        opts.force_buffer && setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &want, sizeof want) == 0;
    if (!set) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &want, sizeof want);
    int got = 0;
    socklen_t len = sizeof got;
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &got, &len);
    int usable = got / 2;
    logInfo("listener", "receive buffer {} bytes", usable);
    if (usable < want) {
        logWarn("listener",
                "receive buffer is {} bytes, less than the {} asked for; bursts may be dropped "
                "(raise net.core.rmem_max, e.g. sysctl -w net.core.rmem_max={})",
                usable, want, want);
    }
}

struct ListenerBuffers {
    char data[kListenerBatch][kDatagramMax];
    sockaddr_storage addrs[kListenerBatch];
    iovec iov[kListenerBatch];
    char control[kListenerBatch][CMSG_SPACE(sizeof(u32))];
    mmsghdr msgs[kListenerBatch];
    Datagram batch[kListenerBatch];
};

void prepare(ListenerBuffers& b) {
    for (unsigned i = 0; i < kListenerBatch; ++i) {
        b.iov[i].iov_base = b.data[i];
        b.iov[i].iov_len = kDatagramMax;
        std::memset(&b.msgs[i], 0, sizeof b.msgs[i]);
        b.msgs[i].msg_hdr.msg_name = &b.addrs[i];
        b.msgs[i].msg_hdr.msg_namelen = sizeof b.addrs[i];
        b.msgs[i].msg_hdr.msg_iov = &b.iov[i];
        b.msgs[i].msg_hdr.msg_iovlen = 1;
        b.msgs[i].msg_hdr.msg_control = b.control[i];
        b.msgs[i].msg_hdr.msg_controllen = sizeof b.control[i];
    }
}

// The kernel's drop total carried by one message, if any.
bool dropCount(const msghdr& h, u32& out) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(const_cast<msghdr*>(&h), c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
            std::memcpy(&out, CMSG_DATA(c), sizeof out);
            return true;
        }
    }
    return false;
}

struct SpawnArgs {
    ListenerTarget target;
    ListenerOptions opts;
};

void* listenerThread(void* p) {
    SpawnArgs* args = static_cast<SpawnArgs*>(p);
    SpawnArgs copy = *args;
    delete args;
    nameThisThread("tarvex-listener");
    // Receiving goes first: a datagram the kernel drops is gone for good,
    // while everything else can wait a moment.
    if (!setThisThreadNice(kListenerNice)) {
        logInfo("listener", "running at normal priority (nice {} needs CAP_SYS_NICE)",
                kListenerNice);
    }
    runUdpListener(copy.target, copy.opts);
    return nullptr;
}

}  // namespace

namespace {

// Dotted decimal by hand: this runs for every datagram.
u8 dottedDecimal(const u8* o, char out[46]) {
    u8 n = 0;
    for (int k = 0; k < 4; ++k) {
        const unsigned v = o[k];
        if (k > 0) out[n++] = '.';
        if (v >= 100) out[n++] = static_cast<char>('0' + v / 100);
        if (v >= 10) out[n++] = static_cast<char>('0' + v / 10 % 10);
        out[n++] = static_cast<char>('0' + v % 10);
    }
    return n;
}

}  // namespace

u8 formatSourceIp(const sockaddr_storage& addr, char out[46]) {
    if (addr.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(addr);
        return dottedDecimal(reinterpret_cast<const u8*>(&in.sin_addr.s_addr), out);
    }
    if (addr.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(addr);
        // IPv4 senders on the dual-stack socket: the common case, by hand.
        if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr))
            return dottedDecimal(in6.sin6_addr.s6_addr + 12, out);
        if (inet_ntop(AF_INET6, &in6.sin6_addr, out, 46)) return static_cast<u8>(std::strlen(out));
        std::memcpy(out, "::", 2);
        return 2;
    }
    std::memcpy(out, "unknown", 7);
    return 7;
}

void ListenerControl::requestStop() {
    stop_.store(true);
    std::lock_guard<std::mutex> l(mu_);
    wakeListener();
}

void ListenerControl::attach(int fd) {
    std::lock_guard<std::mutex> l(mu_);
    fd_ = fd;
    if (stop_.load()) wakeListener();
}

void ListenerControl::attachWakeFd(int event_fd) {
    std::lock_guard<std::mutex> l(mu_);
    wake_fd_ = event_fd;
    if (stop_.load()) wakeListener();
}

void ListenerControl::wakeListener() {
    // Shutting down the reading side of a datagram socket wakes a receiver
    // blocked on it (Linux does so even for an unconnected socket, though the
    // call itself answers ENOTCONN). What is queued stays readable; once the
    // queue is empty a receive returns at once with nothing instead of
    // waiting.
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RD);
    // An epoll reader wakes on its eventfd.
    if (wake_fd_ >= 0) {
        const u64 one = 1;
        ssize_t w = ::write(wake_fd_, &one, sizeof one);
        (void)w;
    }
}

void ListenerControl::finished() {
    std::lock_guard<std::mutex> l(mu_);
    fd_ = -1;
    wake_fd_ = -1;
    finished_ = true;
    cv_.notify_all();
}

bool ListenerControl::waitStopped(int timeout_ms) {
    std::unique_lock<std::mutex> l(mu_);
    return cv_.wait_for(l, std::chrono::milliseconds(timeout_ms), [&] { return finished_; });
}

void runUdpListener(ListenerTarget target, const ListenerOptions& opts) {
    ListenerControl* const control = opts.control;
    // Whatever way this returns, a stopper waiting for it is told.
    struct Finished {
        ListenerControl* c;
        ~Finished() {
            if (c) c->finished();
        }
    } finished{control};
    const WildcardSocket sock = openWildcardSocket(SOCK_DGRAM);
    const int fd = sock.fd;
    if (fd < 0) {
        logError("listener", "failed to create UDP socket: {}", sock.err);
        return;
    }
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        logWarn("listener", "failed to set SO_REUSEADDR: {}", errFromErrno(errno));
    }
    setReceiveBuffer(fd, opts);
    if (setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one) != 0) {
        logWarn("listener", "failed to enable drop counting (SO_RXQ_OVFL): {}",
                errFromErrno(errno));
    }
    if (Err e = bindWildcard(sock, opts.port); e != Err::None) {
        logError("listener", "failed to bind UDP socket to port {}: {}", opts.port, e);
        ::close(fd);
        return;
    }
    logInfo("listener", "syslog UDP listener started on {}:{}", wildcardText(sock), opts.port);

    // One set of buffers for the life of the thread.
    auto* b = new (std::nothrow) ListenerBuffers;
    if (!b) {
        logError("listener", "failed to allocate receive buffers: {}", Err::OutOfMemory);
        ::close(fd);
        return;
    }
    prepare(*b);
    if (control) control->attach(fd);
    i64 stop_seen_ns = 0;  // when the loop first saw a stop request
    u64 drops_total = 0;   // kernel's running total for this socket
    u64 drops_warned = 0;  // total at the last warning line
    i64 last_warn_ns = 0;

    auto warnDrops = [&](i64 now) {
        logWarn("listener", "{} datagrams dropped by the kernel (receive buffer full)",
                drops_total - drops_warned);
        drops_warned = drops_total;
        last_warn_ns = now;
    };
    unsigned batch_count = 0;  // datagrams of the last receive in b->batch
    // Receives one batch into b->batch; the number of messages taken (empty
    // ones included), or -1 after an error (logged unless it is EINTR or, for
    // a non-blocking call, an empty queue).
    auto receive = [&](int flags) -> int {
        batch_count = 0;
        for (unsigned i = 0; i < kListenerBatch; ++i) {
            b->msgs[i].msg_hdr.msg_namelen = sizeof b->addrs[i];
            b->msgs[i].msg_hdr.msg_controllen = sizeof b->control[i];
            b->msgs[i].msg_hdr.msg_flags = 0;
        }
        int n = ::recvmmsg(fd, b->msgs, kListenerBatch, flags, nullptr);
        if (n < 0) {
            if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
                logWarn("listener", "recvfrom error: {}", receiveErrorName(errno));
            return -1;
        }
        for (int i = 0; i < n; ++i) {
            const msghdr& h = b->msgs[i].msg_hdr;
            u32 d;
            if (dropCount(h, d)) drops_total = d;
            u32 len = b->msgs[i].msg_len;
            if (len == 0) continue;
            if (len > kDatagramMax) len = kDatagramMax;
            Datagram& g = b->batch[batch_count++];
            g.data = b->data[i];
            g.len = len;
            g.source_len = formatSourceIp(b->addrs[i], g.source);
        }
        if (n < static_cast<int>(kListenerBatch)) {
            // The queue is drained. Datagrams carry the drop total stamped
            // when they were queued, so drops at the end of a burst only
            // show on a later arrival; ask the socket directly instead.
            u32 meminfo[SK_MEMINFO_VARS];
            socklen_t mlen = sizeof meminfo;
            if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, meminfo, &mlen) == 0 &&
                mlen > SK_MEMINFO_DROPS * sizeof(u32) && meminfo[SK_MEMINFO_DROPS] > drops_total) {
                drops_total = meminfo[SK_MEMINFO_DROPS];
            }
        }
        return n;
    };
    for (;;) {
        if (control && control->stopRequested()) {
            // Stopping: receiving no longer waits (see ListenerControl), so
            // go on while the socket still has datagrams queued, for a
            // bounded time.
            const i64 now = monoNanos();
            if (stop_seen_ns == 0) {
                stop_seen_ns = now;
            } else if (batch_count == 0 || now - stop_seen_ns > i64{kStopDrainMs} * 1000000) {
                break;
            }
        }
        if (drops_total != drops_warned) {
            // Drops are waiting for their line: do not sleep in recvmmsg past
            // the moment it is due, or a burst followed by silence would go
            // unreported.
            i64 now = monoNanos();
            i64 due = last_warn_ns + kDropWarnIntervalNs;
            if (last_warn_ns == 0 || now >= due) {
                warnDrops(now);
            } else {
                pollfd p{fd, POLLIN, 0};
                int wait_ms = static_cast<int>((due - now) / 1000000) + 1;
                if (::poll(&p, 1, wait_ms) == 0) {
                    warnDrops(monoNanos());
                    continue;
                }
            }
        }
        int n = receive(MSG_WAITFORONE);
        if (n < 0) continue;
        if (!target.process) continue;
        // A run: the first batch, then whatever is already waiting.
        bool begun = false;
        u64 taken = 0;  // datagrams handed over in this run
        for (unsigned run = 1;; ++run) {
            taken += batch_count;
            // A batch of nothing but empty datagrams still carries the drop
            // total.
            if (batch_count > 0 || n > 0) {
                if (!begun && target.begin) target.begin(target.ctx);
                begun = true;
                target.process(target.ctx, b->batch, batch_count, drops_total);
            }
            if (n < static_cast<int>(kListenerBatch) || run == kBatchesPerRun || !target.begin)
                break;
            n = receive(MSG_DONTWAIT);
            if (n <= 0) break;
        }
        if (begun && target.end) target.end(target.ctx);
        if (stop_seen_ns != 0) control->addDrained(taken);
    }
    if (drops_total != drops_warned) warnDrops(monoNanos());
    logInfo("listener", "syslog UDP listener stopped ({} queued datagrams taken after the stop)",
            control ? control->drained() : 0);
    delete b;
    ::close(fd);
}

Err spawnUdpListener(ListenerTarget target, const ListenerOptions& opts) {
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
    int rc = pthread_create(&t, &attr, listenerThread, args);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete args;
        return rc == EAGAIN ? Err::SystemResources : errFromErrno(rc);
    }
    return Err::None;
}

}  // namespace tarvex
