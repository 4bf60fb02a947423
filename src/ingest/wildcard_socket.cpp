// wildcard_socket.cpp: dual-stack socket creation with an IPv4 fallback.
#include "ingest/wildcard_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace tarvex {

WildcardSocket openWildcardSocket(int type) {
    WildcardSocket s;
    s.fd = ::socket(AF_INET6, type | SOCK_CLOEXEC, 0);
    if (s.fd >= 0) {
        int off = 0;
        if (setsockopt(s.fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0) {
            s.dual_stack = true;
            return s;
        }
        // IPv6 only would leave IPv4 senders out: take IPv4 instead.
        ::close(s.fd);
    }
    s.fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (s.fd < 0) s.err = errFromErrno(errno);
    return s;
}

Err bindWildcard(const WildcardSocket& s, u16 port) {
    int rc;
    if (s.dual_stack) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_any;
        a.sin6_port = htons(port);
        rc = ::bind(s.fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(port);
        rc = ::bind(s.fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    return rc == 0 ? Err::None : errFromErrno(errno);
}

const char* wildcardText(const WildcardSocket& s) {
    return s.dual_stack ? "[::]" : "0.0.0.0";
}

}  // namespace tarvex
