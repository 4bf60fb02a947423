// stream_sender.h: syslog over TCP or TLS to a daemon on the loopback
// interface, from a chosen local address (127.0.0.x or ::1).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace tarvex::test {

// A TCP port free on every address, below the kernel's ephemeral range: the
// limits test opens hundreds of client connections, whose ephemeral ports
// would otherwise collide with the listening ports of a test beside it.
inline int freeListenPort() {
    static unsigned seed = static_cast<unsigned>(getpid()) * 7919u;
    for (int i = 0; i < 1000; ++i) {
        seed = seed * 1103515245u + 12345u;
        const int port = 20000 + static_cast<int>((seed >> 8) % 12000);
        int fd = socket(AF_INET6, SOCK_STREAM, 0);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(static_cast<uint16_t>(port));
        const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        if (ok) return port;
    }
    return 0;
}

class StreamSender {
  public:
    // Connects to `to` (an IPv4 or IPv6 loopback text) and `port`, bound to
    // `from` when given.
    StreamSender(const char* to, int port, const char* from = nullptr) {
        const bool v6 = std::string(to).find(':') != std::string::npos;
        fd_ = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage a{};
        socklen_t len;
        if (v6) {
            auto& s6 = reinterpret_cast<sockaddr_in6&>(a);
            s6.sin6_family = AF_INET6;
            s6.sin6_port = htons(static_cast<uint16_t>(port));
            inet_pton(AF_INET6, to, &s6.sin6_addr);
            len = sizeof s6;
        } else {
            auto& s4 = reinterpret_cast<sockaddr_in&>(a);
            s4.sin_family = AF_INET;
            s4.sin_port = htons(static_cast<uint16_t>(port));
            inet_pton(AF_INET, to, &s4.sin_addr);
            len = sizeof s4;
            if (from) {
                sockaddr_in b{};
                b.sin_family = AF_INET;
                inet_pton(AF_INET, from, &b.sin_addr);
                bind(fd_, reinterpret_cast<sockaddr*>(&b), sizeof b);
            }
        }
        ok_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), len) == 0;
    }
    ~StreamSender() {
        if (ssl_) {
            SSL_shutdown(ssl_);
            SSL_free(ssl_);
        }
        if (ctx_) SSL_CTX_free(ctx_);
        if (fd_ >= 0) close(fd_);
    }
    StreamSender(const StreamSender&) = delete;
    StreamSender& operator=(const StreamSender&) = delete;

    bool ok() const { return ok_; }

    // Starts TLS over the connection (the test's certificate is not
    // verified: it is self-signed).
    bool startTls() {
        ctx_ = SSL_CTX_new(TLS_client_method());
        ssl_ = SSL_new(ctx_);
        SSL_set_fd(ssl_, fd_);
        return SSL_connect(ssl_) == 1;
    }

    bool send(const std::string& bytes) {
        size_t at = 0;
        while (at < bytes.size()) {
            ssize_t n;
            if (ssl_) {
                n = SSL_write(ssl_, bytes.data() + at, static_cast<int>(bytes.size() - at));
            } else {
                n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            }
            if (n <= 0) return false;
            at += static_cast<size_t>(n);
        }
        return true;
    }

    // Whether the daemon closed the connection within `timeout_ms`.
    bool closedByPeer(int timeout_ms) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return false;
        char c;
        return recv(fd_, &c, 1, MSG_DONTWAIT) <= 0;
    }

  private:
    int fd_ = -1;
    bool ok_ = false;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
};

}  // namespace tarvex::test
