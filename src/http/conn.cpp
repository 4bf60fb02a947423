// conn.cpp: writing to a connection's output, from the loop, a handler or a WebSocket writer.
#include "http/conn.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tarvex {

Err queueOutputLocked(Conn& c, const std::string_view* parts, size_t count, size_t limit) {
    if (!c.open) return Err::SocketNotConnected;
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) total += parts[i].size();
    size_t pending = c.out_len - c.out_head;
    if (pending > 0 && total > limit - pending) return Err::Overflow;
    size_t skip = 0;  // bytes of the parts already sent
    if (pending == 0) {
        iovec iov[kMaxWsParts + 2];
        size_t k = 0;
        for (size_t i = 0; i < count && k < kMaxWsParts + 2; ++i) {
            if (parts[i].empty()) continue;
            iov[k].iov_base = const_cast<char*>(parts[i].data());
            iov[k].iov_len = parts[i].size();
            ++k;
        }
        while (skip < total) {
            msghdr msg{};
            // Rebuild the vector past what was sent.
            iovec rest[kMaxWsParts + 2];
            size_t rk = 0;
            size_t off = skip;
            for (size_t i = 0; i < k; ++i) {
                if (off >= iov[i].iov_len) {
                    off -= iov[i].iov_len;
                    continue;
                }
                rest[rk].iov_base = static_cast<char*>(iov[i].iov_base) + off;
                rest[rk].iov_len = iov[i].iov_len - off;
                off = 0;
                ++rk;
            }
            msg.msg_iov = rest;
            msg.msg_iovlen = rk;
            ssize_t w = ::sendmsg(c.fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w > 0) {
                skip += static_cast<size_t>(w);
                continue;
            }
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            c.open = false;  // the peer is gone; the loop closes the socket
            return errFromErrno(errno);
        }
        if (skip == total) return Err::None;
        if (total - skip > limit) return Err::Overflow;
    }
    size_t need = pending + (total - skip);
    if (c.out_head > 0) {
        if (pending) std::memmove(c.out, c.out + c.out_head, pending);
        c.out_head = 0;
        c.out_len = pending;
    }
    if (need > c.out_cap) {
        size_t cap = c.out_cap ? c.out_cap : 16 * 1024;
        while (cap < need) cap *= 2;
        auto* p = static_cast<char*>(std::realloc(c.out, cap));
        if (!p) return Err::OutOfMemory;
        c.out = p;
        c.out_cap = cap;
    }
    size_t off = skip;
    for (size_t i = 0; i < count; ++i) {
        std::string_view s = parts[i];
        if (off >= s.size()) {
            off -= s.size();
            continue;
        }
        std::memcpy(c.out + c.out_len, s.data() + off, s.size() - off);
        c.out_len += s.size() - off;
        off = 0;
    }
    c.out_pending.store(true);
    return Err::None;
}

}  // namespace tarvex
