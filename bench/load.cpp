// load.cpp: tarvex-load, a syslog replay tool for load tests.
//
// Replays the lines of one or more files as UDP datagrams (one line each),
// or with --tcp over one TCP connection (newline-framed, or octet-counted
// with --octet, where lines without a PRI get "<13>"), to a host and port, at a given rate or as
// fast as it can, for a given count or duration, and prints what it sent each second and in total.
//
//   tarvex-load [--host 127.0.0.1] [--port 5514] [--tcp [--octet]] [--rate N]
//               [--count N] [--duration S] FILE...
//
// --rate 0 (the default) sends as fast as possible. Without --count and
// --duration it sends every line once. Over TCP the sender waits when the
// daemon reads slower than it sends: nothing is lost, so "sent" is what the
// daemon takes once the connection is drained.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

double nowSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void usage() {
    std::fprintf(stderr,
                 "usage: tarvex-load [--host H] [--port P] [--tcp [--octet]] [--rate N] "
                 "[--count N] [--duration S] FILE...\n");
    std::exit(2);
}

// Over TCP: the lines framed once into one buffer, written in pieces of
// about 64 KiB (or fewer lines when a rate is set).
int sendTcp(const std::string& host, int port, double rate, long long count, double duration,
            const std::vector<std::string>& lines, bool octet) {
    std::vector<std::string> framed;
    for (const std::string& l : lines)
        if (octet) {
            // An octet-counted frame holds a syslog message, which opens
            // with its PRI; sample lines without one get a user.notice PRI.
            const std::string m = l[0] == '<' ? l : "<13>" + l;
            framed.push_back(std::to_string(m.size()) + " " + m);
        } else {
            framed.push_back(l + "\n");
        }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &to.sin_addr) != 1) {
        std::fprintf(stderr, "tarvex-load: bad IPv4 address %s\n", host.c_str());
        return 1;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        std::perror("tarvex-load: connect");
        return 1;
    }
    std::string chunk;
    size_t next_line = 0;
    long long sent = 0, sent_this_second = 0;
    double start = nowSeconds();
    double second_mark = start + 1;
    for (;;) {
        double now = nowSeconds();
        if (duration >= 0 && now - start >= duration) break;
        if (count >= 0 && sent >= count) break;
        if (now >= second_mark) {
            std::printf("%lld messages/s\n", sent_this_second);
            std::fflush(stdout);
            sent_this_second = 0;
            second_mark += 1;
        }
        long long want = 512;
        if (rate > 0) {
            long long due = static_cast<long long>((now - start) * rate) - sent;
            if (due <= 0) {
                usleep(50);
                continue;
            }
            if (due < want) want = due;
        }
        if (count >= 0 && count - sent < want) want = count - sent;
        chunk.clear();
        for (long long k = 0; k < want; ++k) {
            chunk += framed[next_line];
            next_line = (next_line + 1) % framed.size();
        }
        size_t at = 0;
        while (at < chunk.size()) {
            ssize_t n = write(fd, chunk.data() + at, chunk.size() - at);
            if (n <= 0) {
                std::perror("tarvex-load: write");
                close(fd);
                return 1;
            }
            at += static_cast<size_t>(n);
        }
        sent += want;
        sent_this_second += want;
    }
    double elapsed = nowSeconds() - start;
    std::printf("sent %lld messages over TCP in %.3f s (%.0f/s)\n", sent, elapsed,
                elapsed > 0 ? static_cast<double>(sent) / elapsed : 0.0);
    close(fd);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1";
    int port = 5514;
    double rate = 0;
    long long count = -1;
    double duration = -1;
    bool tcp = false, octet = false;
    std::vector<std::string> lines;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char* {
            if (i + 1 >= argc) usage();
            return argv[++i];
        };
        if (a == "--host")
            host = next();
        else if (a == "--port")
            port = std::atoi(next());
        else if (a == "--tcp")
            tcp = true;
        else if (a == "--octet")
            octet = true;
        else if (a == "--rate")
            rate = std::atof(next());
        else if (a == "--count")
            count = std::atoll(next());
        else if (a == "--duration")
            duration = std::atof(next());
        else if (a == "-h" || a == "--help")
            usage();
        else {
            std::ifstream f(a, std::ios::binary);
            if (!f) {
                std::fprintf(stderr, "tarvex-load: cannot read %s\n", a.c_str());
                return 1;
            }
            std::string line;
            while (std::getline(f, line)) {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (!line.empty()) lines.push_back(line);
            }
        }
    }
    if (lines.empty()) usage();
    if (count < 0 && duration < 0) count = static_cast<long long>(lines.size());

    if (tcp) return sendTcp(host, port, rate, count, duration, lines, octet);

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int sndbuf = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &to.sin_addr) != 1) {
        std::fprintf(stderr, "tarvex-load: bad IPv4 address %s\n", host.c_str());
        return 1;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        std::perror("tarvex-load: connect");
        return 1;
    }

    constexpr int kBatch = 32;
    mmsghdr msgs[kBatch];
    iovec iov[kBatch];
    std::memset(msgs, 0, sizeof msgs);
    size_t next_line = 0;
    long long sent = 0, errors = 0, sent_this_second = 0;
    double start = nowSeconds();
    double second_mark = start + 1;
    for (;;) {
        double now = nowSeconds();
        if (duration >= 0 && now - start >= duration) break;
        if (count >= 0 && sent >= count) break;
        if (now >= second_mark) {
            std::printf("%lld datagrams/s\n", sent_this_second);
            std::fflush(stdout);
            sent_this_second = 0;
            second_mark += 1;
        }
        long long want = kBatch;
        if (rate > 0) {
            long long due = static_cast<long long>((now - start) * rate) - sent;
            if (due <= 0) {
                usleep(50);
                continue;
            }
            if (due < want) want = due;
        }
        if (count >= 0 && count - sent < want) want = count - sent;
        for (long long k = 0; k < want; ++k) {
            const std::string& l = lines[next_line];
            next_line = (next_line + 1) % lines.size();
            iov[k].iov_base = const_cast<char*>(l.data());
            iov[k].iov_len = l.size();
            msgs[k].msg_hdr.msg_iov = &iov[k];
            msgs[k].msg_hdr.msg_iovlen = 1;
        }
        int n = sendmmsg(fd, msgs, static_cast<unsigned>(want), 0);
        if (n < 0) {
            ++errors;
            usleep(100);
            continue;
        }
        sent += n;
        sent_this_second += n;
    }
    double elapsed = nowSeconds() - start;
    std::printf("sent %lld datagrams in %.3f s (%.0f/s), %lld send errors\n", sent, elapsed,
                elapsed > 0 ? static_cast<double>(sent) / elapsed : 0.0, errors);
    close(fd);
    return 0;
}
