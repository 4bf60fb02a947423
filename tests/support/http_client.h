// http_client.h: a raw-socket HTTP and WebSocket client for tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

namespace tarvex::test {

// A blocking TCP connection to 127.0.0.1:port; closed on destruction.
class RawConn {
  public:
    explicit RawConn(int port) : RawConn(port, 0) {}
    // From the loopback address 127.0.0.`from` (1 to 254; 0 lets the system
    // pick, which is 127.0.0.1), for tests of the per-address limits. Only
    // loopback addresses, never another.
    RawConn(int port, int from) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (from > 0 && from < 255) {
            sockaddr_in src{};
            src.sin_family = AF_INET;
            src.sin_addr.s_addr = htonl(0x7F000000u | static_cast<uint32_t>(from));
            if (::bind(fd_, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0) {
                ::close(fd_);
                fd_ = -1;
                return;
            }
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
        int one = 1;
        if (fd_ >= 0) setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~RawConn() { close(); }
    RawConn(const RawConn&) = delete;
    RawConn& operator=(const RawConn&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    bool send(std::string_view bytes) {
        size_t off = 0;
        while (off < bytes.size()) {
            ssize_t w = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (w <= 0) return false;
            off += static_cast<size_t>(w);
        }
        return true;
    }

    // Reads exactly n bytes (fewer on close or after timeout_ms of silence).
    std::string recvN(size_t n, int timeout_ms = 5000) {
        std::string out;
        while (out.size() < n) {
            if (!waitReadable(timeout_ms)) break;
            char buf[65536];
            size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
            ssize_t r = ::recv(fd_, buf, want, 0);
            if (r <= 0) break;
            out.append(buf, static_cast<size_t>(r));
        }
        return out;
    }

    // Reads until the peer closes (or timeout_ms of silence).
    std::string recvAll(int timeout_ms = 5000) {
        std::string out;
        for (;;) {
            if (!waitReadable(timeout_ms)) {
                timed_out_ = true;
                break;
            }
            char buf[65536];
            ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
            if (r <= 0) break;
            out.append(buf, static_cast<size_t>(r));
        }
        return out;
    }
    bool timedOut() const { return timed_out_; }

    // True when the peer has closed: recv returns 0 or an error in time.
    bool peerClosed(int timeout_ms = 5000) {
        for (;;) {
            if (!waitReadable(timeout_ms)) return false;
            char buf[4096];
            ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
            if (r <= 0) return true;
        }
    }

    // True when nothing arrives within timeout_ms.
    bool silentFor(int timeout_ms) { return !waitReadable(timeout_ms); }

    // Reads one response: head up to the blank line, then Content-Length
    // bytes of body. Returns the whole text.
    std::string readResponse(int timeout_ms = 5000) {
        std::string out;
        while (out.find("\r\n\r\n") == std::string::npos) {
            std::string b = recvN(1, timeout_ms);
            if (b.empty()) return out;
            out += b;
        }
        size_t cl = 0;
        size_t p = out.find("Content-Length: ");
        if (p != std::string::npos) cl = std::stoul(out.substr(p + 16));
        return out + recvN(cl, timeout_ms);
    }

    bool waitReadable(int timeout_ms) {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, timeout_ms) > 0;
    }

  private:
    int fd_ = -1;
    bool timed_out_ = false;
};

// Raises this process's open-files limit to at least `want` (up to the hard
// limit); returns the limit now in force.
inline rlim_t raiseOpenFiles(rlim_t want) {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
    if (rl.rlim_cur < want) {
        rl.rlim_cur = rl.rlim_max == RLIM_INFINITY || rl.rlim_max > want ? want : rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
        getrlimit(RLIMIT_NOFILE, &rl);
    }
    return rl.rlim_cur;
}

// A client frame: masked, with the given first byte flags.
inline std::string wsClientFrame(uint8_t opcode, std::string_view payload, bool fin = true) {
    std::string f;
    f.push_back(static_cast<char>((fin ? 0x80 : 0) | opcode));
    const uint8_t mask[4] = {0x12, 0x34, 0x56, 0x78};
    size_t n = payload.size();
    if (n < 126) {
        f.push_back(static_cast<char>(0x80 | n));
    } else if (n <= 0xFFFF) {
        f.push_back(static_cast<char>(0x80 | 126));
        f.push_back(static_cast<char>(n >> 8));
        f.push_back(static_cast<char>(n & 0xFF));
    } else {
        f.push_back(static_cast<char>(0x80 | 127));
        for (int i = 7; i >= 0; --i)
            f.push_back(static_cast<char>((uint64_t{n} >> (8 * i)) & 0xFF));
    }
    f.append(reinterpret_cast<const char*>(mask), 4);
    for (size_t i = 0; i < n; ++i) f.push_back(static_cast<char>(payload[i] ^ mask[i & 3]));
    return f;
}

struct WsMessage {
    bool ok = false;
    bool fin = false;
    uint8_t opcode = 0;
    std::string payload;
};

// Reads one server frame (unmasked).
inline WsMessage wsReadFrame(RawConn& c, int timeout_ms = 5000) {
    WsMessage m;
    std::string h = c.recvN(2, timeout_ms);
    if (h.size() < 2) return m;
    m.fin = (static_cast<uint8_t>(h[0]) & 0x80) != 0;
    m.opcode = static_cast<uint8_t>(h[0]) & 0x0F;
    size_t len = static_cast<uint8_t>(h[1]) & 0x7F;
    if (static_cast<uint8_t>(h[1]) & 0x80) return m;  // servers never mask
    if (len == 126) {
        std::string e = c.recvN(2, timeout_ms);
        if (e.size() < 2) return m;
        len = (static_cast<size_t>(static_cast<uint8_t>(e[0])) << 8) | static_cast<uint8_t>(e[1]);
    } else if (len == 127) {
        std::string e = c.recvN(8, timeout_ms);
        if (e.size() < 8) return m;
        len = 0;
        for (int i = 0; i < 8; ++i)
            len = (len << 8) | static_cast<uint8_t>(e[static_cast<size_t>(i)]);
    }
    m.payload = c.recvN(len, timeout_ms);
    m.ok = m.payload.size() == len;
    return m;
}

inline std::string wsUpgradeRequest(std::string_view key = "dGhlIHNhbXBsZSBub25jZQ==",
                                    std::string_view connection = "Upgrade") {
    std::string r = "GET /api/ws HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: ";
    r += connection;
    r += "\r\nSec-WebSocket-Key: ";
    r += key;
    r += "\r\nSec-WebSocket-Version: 13\r\n\r\n";
    return r;
}

// The exact reply to wsUpgradeRequest() with the default key.
constexpr std::string_view kWsUpgradeReply =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: "
    "upgrade\r\nSec-Websocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

}  // namespace tarvex::test
