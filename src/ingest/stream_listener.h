// stream_listener.h: syslog over TCP and TLS (the stream reader).
//
// One thread, "tarvex-streams", owns the TCP and TLS listening sockets (IPv6
// and IPv4, see wildcard_socket.h) and every accepted connection, through one
// epoll set; nothing on it blocks on a sender. Each connection has a slot in
// a fixed pool created once at start (kMaxStreamConnections slots, each with
// its StreamFramer), so a message costs no allocation. Complete messages are
// copied into a batch of Datagrams in arrival order per connection and handed
// to the same ListenerTarget the UDP listener feeds, one batch between one
// begin and end (which take the engine-state lock exclusively): a stalled or
// slow sender holds only its own slot and never the UDP listener.
//
// Limits: kMaxStreamConnections connections in all, kMaxStreamsPerSender
// from one sender address, and a connection that sends nothing for
// kStreamIdleSeconds is closed. A frame that cannot be right closes its
// connection with a log line; the listener goes on.
//
// StreamCounters are written by the stream thread alone and read by anyone
// (the statistics and /metrics), all relaxed atomics: no lock.
#pragma once

#include <atomic>
#include <string>

#include "common/error.h"
#include "common/types.h"
#include "ingest/listener.h"

namespace tarvex {

constexpr unsigned kMaxStreamConnections = 256;
constexpr unsigned kMaxStreamsPerSender = 64;
constexpr int kStreamIdleSeconds = 600;
// The most read from one connection before the others get their turn.
constexpr size_t kStreamReadBudget = 256 * 1024;

struct StreamCounters {
    std::atomic<u32> connections{0};      // open now, TCP and TLS
    std::atomic<u32> tls_connections{0};  // of which TLS
    std::atomic<u64> accepted{0};
    std::atomic<u64> refused_total{0};   // kMaxStreamConnections were open
    std::atomic<u64> refused_sender{0};  // kMaxStreamsPerSender from that address
    std::atomic<u64> closed_idle{0};
    std::atomic<u64> closed_bad_frame{0};
    std::atomic<u64> tls_failures{0};       // handshakes or sessions that failed
    std::atomic<u64> messages{0};           // handed to the pipeline
    std::atomic<u64> messages_cut{0};       // of which cut to kDatagramMax
    std::atomic<u64> frames_incomplete{0};  // octet-counted frames the end of a connection cut off
};

struct StreamOptions {
    u16 tcp_port = 0;                                  // 0: no TCP listener
    u16 tls_port = 0;                                  // 0: no TLS listener
    std::string tls_cert;                              // PEM certificate chain (with tls_port)
    std::string tls_key;                               // PEM private key (with tls_port)
    unsigned max_connections = kMaxStreamConnections;  // at most kMaxStreamConnections
    unsigned max_per_sender = kMaxStreamsPerSender;
    int idle_seconds = kStreamIdleSeconds;
    StreamCounters* counters = nullptr;  // required
    ListenerControl* control = nullptr;  // nullptr: runs until the process ends
};

// The thread body: opens the listeners that are configured and serves their
// connections until `opts.control` asks it to stop. Returns early when no
// listener could be opened (each failure is logged; a TLS listener whose
// certificate or key cannot be loaded is not started).
void runStreamListener(ListenerTarget target, const StreamOptions& opts);

// Starts runStreamListener on a detached thread with a 16 MiB stack (the
// pipeline runs on it) and a 4 KiB guard area.
Err spawnStreamListener(ListenerTarget target, const StreamOptions& opts);

}  // namespace tarvex
