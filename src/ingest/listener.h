// listener.h: the UDP syslog listener.
//
// One thread receives every event datagram on the syslog port (IPv6 and
// IPv4, all interfaces; see wildcard_socket.h) and hands it, in arrival order, to the pipeline on
// the same thread. It drains the socket in batches with recvmmsg: each call returns every datagram
// already queued (up to kBatch), each cut to 4096 bytes.
//
// So that bursts are absorbed rather than lost, the listener asks for an
// 8 MiB receive buffer (forcing past net.core.rmem_max when the process may)
// and asks the kernel for its drop counter (SO_RXQ_OVFL), which the target
// receives with every batch: datagrams the kernel had to drop are counted,
// never silently lost.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string_view>

#include "common/error.h"
#include "common/types.h"

namespace tarvex {

constexpr size_t kDatagramMax = 4096;
constexpr unsigned kListenerBatch = 512;
constexpr int kReceiveBufferBytes = 8 << 20;

// One received datagram; `data` points into the listener's buffers and is
// valid only during the batch call.
struct Datagram {
    const char* data;
    u32 len;
    char source[46];
    u8 source_len;
    std::string_view bytes() const { return {data, len}; }
    std::string_view sourceIp() const { return {source, source_len}; }
};

// Batches handed over between one begin and end at most (see ListenerTarget).
constexpr unsigned kBatchesPerRun = 8;

// Where received datagrams go. `process` runs on the listener thread with
// the datagrams of one batch in arrival order (empty ones already removed)
// and the kernel's running total of datagrams dropped on this socket.
//
// `begin` and `end` are optional. When set, they bracket a run of batches:
// after the first batch of a wake-up the listener goes on taking the
// datagrams already waiting in the socket (without blocking), up to
// kBatchesPerRun batches, before it calls `end`. A target that takes a lock
// in `begin` thus pays for it once per run rather than once per batch, and
// whoever waited for that lock waits for at most one run.
struct ListenerTarget {
    void* ctx = nullptr;
    void (*process)(void* ctx, const Datagram* batch, unsigned count, u64 kernel_drops) = nullptr;
    void (*begin)(void* ctx) = nullptr;
    void (*end)(void* ctx) = nullptr;
};

// How a running listener is asked to stop, and how its stopper learns that
// it has. On a stop the UDP listener stops waiting for datagrams, hands what
// is already queued on its socket to the target (for at most kStopDrainMs, so
// a flood cannot keep it going), and returns. The stream reader
// (stream_listener.h) is stopped through a control of its own of this same
// kind: it stops accepting, hands over the complete messages it has read, and
// returns.
//
// Thread-safety: requestStop and waitStopped from any thread; the listener
// thread calls attach (or attachWakeFd) and finished.
class ListenerControl {
  public:
    // Asks the listener to stop; returns at once.
    void requestStop();
    // Waits up to `timeout_ms` for the listener to return; true when it has.
    bool waitStopped(int timeout_ms);
    // Datagrams taken from the socket after the stop was asked for.
    u64 drained() const { return drained_.load(std::memory_order_relaxed); }

    // Listener side: the socket it receives on, once bound; a stop shuts
    // down its reading side.
    void attach(int fd);
    // Listener side, for a reader that waits in epoll: an eventfd that a
    // stop writes to.
    void attachWakeFd(int event_fd);
    bool stopRequested() const { return stop_.load(); }
    void addDrained(u64 n) { drained_.fetch_add(n, std::memory_order_relaxed); }
    // Listener side: it has returned (or never got a socket).
    void finished();

  private:
    void wakeListener();

    std::atomic<bool> stop_{false};
    std::atomic<int> fd_{-1};
    std::atomic<int> wake_fd_{-1};
    std::atomic<u64> drained_{0};
    std::mutex mu_;
    std::condition_variable cv_;
    bool finished_ = false;
};

// The longest a stopping listener goes on taking queued datagrams.
constexpr int kStopDrainMs = 2000;

struct ListenerOptions {
    u16 port = 514;
    int receive_buffer = kReceiveBufferBytes;
    bool force_buffer = true;            // try SO_RCVBUFFORCE before SO_RCVBUF
    ListenerControl* control = nullptr;  // nullptr: runs until the process ends
};

// Text form of a sender address: dotted decimal for IPv4 and for an
// IPv4-mapped IPv6 address (which is how IPv4 senders reach a dual-stack
// socket), the usual compressed text for other IPv6 addresses ("::1",
// "2001:db8::5"), "unknown" otherwise. Writes at most 46 bytes into out;
// returns the length.
u8 formatSourceIp(const sockaddr_storage& addr, char out[46]);

// The thread body: sets up the socket, then receives until the process
// ends or `opts.control` asks it to stop. Returns early when the socket
// cannot be created or bound.
void runUdpListener(ListenerTarget target, const ListenerOptions& opts);

// Starts runUdpListener on a detached thread with a 16 MiB stack and a
// 4 KiB guard area.
Err spawnUdpListener(ListenerTarget target, const ListenerOptions& opts);

}  // namespace tarvex
