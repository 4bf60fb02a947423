// wildcard_socket.h: a socket on every local address, IPv6 and IPv4 alike.
//
// The syslog listeners (UDP, TCP, TLS) bind the wildcard address. They ask
// for one IPv6 socket with IPV6_V6ONLY off, which also receives IPv4 (its
// senders then show as IPv4-mapped addresses, which formatSourceIp writes as
// plain dotted decimal); on a kernel without IPv6 they fall back to an IPv4
// socket. Pure system calls; any thread.
#pragma once

#include "common/error.h"
#include "common/types.h"

namespace tarvex {

struct WildcardSocket {
    int fd = -1;
    bool dual_stack = false;  // IPv6 and IPv4; false: IPv4 only
    Err err = Err::None;      // why fd is -1
};

// Creates the socket (`type` is SOCK_DGRAM or SOCK_STREAM, extra flags such
// as SOCK_NONBLOCK may be or-ed in); SOCK_CLOEXEC is always set.
WildcardSocket openWildcardSocket(int type);

// Binds `s` to the wildcard address of its family and `port`.
Err bindWildcard(const WildcardSocket& s, u16 port);

// "[::]" or "0.0.0.0", for the log lines that say where a listener is.
const char* wildcardText(const WildcardSocket& s);

}  // namespace tarvex
