// bare_recv.cpp: tarvex-bare-recv, the baseline for ingest measurements.
//
// Receives UDP datagrams on a port with the same recvmmsg batching and
// receive buffer as the daemon's listener, but does nothing with them: it
// only counts. Comparing its loss-free rate with the daemon's shows how much
// of the limit is the kernel's datagram path and how much is tarvex.
//
//   tarvex-bare-recv PORT SECONDS   prints received and kernel-dropped counts
#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: tarvex-bare-recv PORT SECONDS\n");
        return 2;
    }
    int port = std::atoi(argv[1]);
    int seconds = std::atoi(argv[2]);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int buf = 8 << 20;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buf, sizeof buf) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("bind");
        return 1;
    }
    constexpr int kBatch = 64;
    static char data[kBatch][4096];
    iovec iov[kBatch];
    mmsghdr msgs[kBatch] = {};
    for (int i = 0; i < kBatch; ++i) {
        iov[i].iov_base = data[i];
        iov[i].iov_len = sizeof data[i];
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    long long received = 0;
    time_t end = time(nullptr) + seconds;
    while (time(nullptr) < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        int n = recvmmsg(fd, msgs, kBatch, MSG_DONTWAIT, nullptr);
        if (n > 0) received += n;
    }
    uint32_t meminfo[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof meminfo;
    getsockopt(fd, SOL_SOCKET, SO_MEMINFO, meminfo, &len);
    std::printf("received %lld dropped %u\n", received, meminfo[SK_MEMINFO_DROPS]);
    return 0;
}
