// listener.h: the UDP syslog listener.
//
// One thread receives every event datagram on the syslog port (IPv4, all
// interfaces) and hands it, in arrival order, to the pipeline on the same
// thread. It drains the socket in batches with recvmmsg: each call returns
// every datagram already queued (up to kBatch), each cut to 4096 bytes.
//
// So that bursts are absorbed rather than lost, the listener asks for an
// 8 MiB receive buffer (forcing past net.core.rmem_max when the process may)
// and asks the kernel for its drop counter (SO_RXQ_OVFL), which the target
// receives with every batch: datagrams the kernel had to drop are counted,
// never silently lost.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

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

// Where received datagrams go. `process` runs on the listener thread with
// the datagrams of one batch in arrival order (empty ones already removed)
// and the kernel's running total of datagrams dropped on this socket.
struct ListenerTarget {
    void* ctx = nullptr;
    void (*process)(void* ctx, const Datagram* batch, unsigned count, u64 kernel_drops) = nullptr;
};

struct ListenerOptions {
    u16 port = 514;
    int receive_buffer = kReceiveBufferBytes;
    bool force_buffer = true;  // try SO_RCVBUFFORCE before SO_RCVBUF
};

// Text form of a sender address: dotted decimal for IPv4, "::" for IPv6,
// "unknown" otherwise. Writes at most 46 bytes into out; returns the length.
u8 formatSourceIp(const sockaddr_storage& addr, char out[46]);

// The thread body: sets up the socket, then receives until the process
// ends. Returns only when the socket cannot be created or bound.
void runUdpListener(ListenerTarget target, const ListenerOptions& opts);

// Starts runUdpListener on a detached thread with a 16 MiB stack and a
// 4 KiB guard area.
Err spawnUdpListener(ListenerTarget target, const ListenerOptions& opts);

}  // namespace tarvex
