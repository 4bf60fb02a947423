// The UDP listener over a real socket: truncation, empty datagrams, arrival
// order, source text, and drop accounting when the consumer stalls.
#include "ingest/listener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/daemon.h"
#include "support/log_capture.h"

namespace tarvex {
namespace {

// Collects what the listener hands over. Lives for the whole test binary:
// listener threads are detached and never end.
struct Collector {
    std::mutex mu;
    std::vector<std::string> data;
    std::vector<std::string> sources;
    std::atomic<u64> drops{0};
    std::atomic<bool> stall{false};
    std::atomic<bool> stalled{false};

    static void process(void* ctx, const Datagram* batch, unsigned count, u64 kernel_drops) {
        auto* self = static_cast<Collector*>(ctx);
        self->drops = kernel_drops;
        for (unsigned i = 0; i < count; ++i) {
            if (batch[i].bytes() == "STALL") {
                self->stalled = true;
                while (self->stall) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            std::lock_guard<std::mutex> l(self->mu);
            self->data.emplace_back(batch[i].bytes());
            self->sources.emplace_back(batch[i].sourceIp());
        }
    }
    size_t size() {
        std::lock_guard<std::mutex> l(mu);
        return data.size();
    }
    bool waitFor(size_t n, int ms = 5000) {
        for (int i = 0; i < ms && size() < n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return size() >= n;
    }
};

int sender(u16 port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    return fd;
}

// Sends the datagram a collector stalls on and waits until it does.
bool stallOn(int fd, const std::atomic<bool>& stalled) {
    if (send(fd, "STALL", 5, 0) != 5) return false;
    for (int i = 0; i < 2000 && !stalled; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return stalled;
}

u16 startListener(Collector* c, ListenerOptions opts, test::LogCapture& logs) {
    opts.port = static_cast<u16>(test::freePort(SOCK_DGRAM));
    EXPECT_EQ(spawnUdpListener({c, &Collector::process}, opts), Err::None);
    std::string started =
        "info(listener): syslog UDP listener started on [::]:" + std::to_string(opts.port);
    for (int i = 0; i < 2000 && !logs.has(started); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(logs.has(started));
    return opts.port;
}

TEST(Listener, DeliversDatagramsInOrderCutTo4096) {
    test::LogCapture logs;
    static auto* c = new Collector;  // outlives the detached listener thread
    u16 port = startListener(c, {}, logs);
    int fd = sender(port);
    std::string big(5000, 'x');
    big[4095] = 'E';
    ASSERT_EQ(send(fd, "first", 5, 0), 5);
    ASSERT_EQ(send(fd, "", 0, 0), 0);
    ASSERT_EQ(send(fd, big.data(), big.size(), 0), static_cast<ssize_t>(big.size()));
    ASSERT_EQ(send(fd, "last", 4, 0), 4);
    ASSERT_TRUE(c->waitFor(3));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::lock_guard<std::mutex> l(c->mu);
    ASSERT_EQ(c->data.size(), 3u) << "the empty datagram is ignored";
    EXPECT_EQ(c->data[0], "first");
    EXPECT_EQ(c->data[1].size(), 4096u);
    EXPECT_EQ(c->data[1].back(), 'E');
    EXPECT_EQ(c->data[2], "last");
    for (const auto& s : c->sources) EXPECT_EQ(s, "127.0.0.1") << "no port in the source text";
    close(fd);
    EXPECT_TRUE(logs.has("info(listener): receive buffer 8388608 bytes") || geteuid() != 0)
        << "root may force the buffer past net.core.rmem_max";
}

TEST(Listener, SourceAddressText) {
    for (const char* dotted : {"0.0.0.0", "255.255.255.255", "10.0.100.9", "192.168.1.20",
                               "1.2.3.4", "100.64.0.10", "172.31.250.99"}) {
        sockaddr_storage ss{};
        auto& in = reinterpret_cast<sockaddr_in&>(ss);
        in.sin_family = AF_INET;
        ASSERT_EQ(inet_pton(AF_INET, dotted, &in.sin_addr), 1);
        char out[46];
        EXPECT_EQ(std::string(out, formatSourceIp(ss, out)), dotted);
    }
    char out[46];
    struct V6 {
        const char* addr;
        const char* text;
    };
    const V6 v6cases[] = {
        {"::", "::"},
        {"::1", "::1"},
        {"2001:db8::5", "2001:db8::5"},
        {"FE80:0:0:0:0:0:0:1", "fe80::1"},
        {"::ffff:192.0.2.1", "192.0.2.1"},  // an IPv4 sender on the dual-stack socket
        {"::ffff:10.0.0.255", "10.0.0.255"},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
    };
    for (const V6& c : v6cases) {
        sockaddr_storage v6{};
        auto& in6 = reinterpret_cast<sockaddr_in6&>(v6);
        in6.sin6_family = AF_INET6;
        ASSERT_EQ(inet_pton(AF_INET6, c.addr, &in6.sin6_addr), 1) << c.addr;
        EXPECT_EQ(std::string(out, formatSourceIp(v6, out)), c.text);
    }
    sockaddr_storage other{};
    other.ss_family = AF_UNIX;
    EXPECT_EQ(std::string(out, formatSourceIp(other, out)), "unknown");
}

TEST(Listener, BindFailureEndsOnlyTheThread) {
    test::LogCapture logs;
    int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(holder, reinterpret_cast<sockaddr*>(&a), &len);
    u16 port = ntohs(a.sin_port);
    ListenerOptions opts;
    opts.port = port;
    runUdpListener({}, opts);  // returns: the port is taken (no SO_REUSEADDR on the holder)
    EXPECT_TRUE(logs.has("error(listener): failed to bind UDP socket to port " +
                         std::to_string(port) + ": AddressInUse"));
    close(holder);
}

TEST(Listener, SmallBufferIsReportedWithTheSysctlToRaise) {
    std::FILE* f = std::fopen("/proc/sys/net/core/rmem_max", "r");
    long rmem_max = 0;
    if (f) {
        if (std::fscanf(f, "%ld", &rmem_max) != 1) rmem_max = 0;
        std::fclose(f);
    }
    if (rmem_max <= 0 || rmem_max >= kReceiveBufferBytes) GTEST_SKIP() << "rmem_max is large";
    test::LogCapture logs;
    static auto* c = new Collector;
    ListenerOptions opts;
    opts.force_buffer = false;
    startListener(c, opts, logs);
    EXPECT_TRUE(logs.hasSubstring("net.core.rmem_max"));
    EXPECT_TRUE(logs.has("info(listener): receive buffer " + std::to_string(rmem_max) + " bytes"));
}

TEST(Listener, KernelDropsAreCountedAndLogged) {
    test::LogCapture logs;
    static auto* c = new Collector;
    ListenerOptions opts;
    opts.receive_buffer = 64 * 1024;  // small on purpose: easy to overflow
    c->stall = true;
    u16 port = startListener(c, opts, logs);
    int fd = sender(port);
    ASSERT_TRUE(stallOn(fd, c->stalled));
    const int kFlood = 5000;
    std::string line(200, 'a');
    int sent = 1;
    for (int i = 0; i < kFlood; ++i)
        if (send(fd, line.data(), line.size(), 0) > 0) ++sent;
    c->stall = false;
    // Whatever the kernel kept is delivered; the rest is counted as dropped.
    for (int i = 0; i < 5000; ++i) {
        if (c->size() + c->drops.load() >= static_cast<size_t>(sent)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GT(c->drops.load(), 0u);
    EXPECT_EQ(c->size() + c->drops.load(), static_cast<u64>(sent));
    for (int i = 0; i < 2000 && !logs.hasSubstring("dropped by the kernel"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(logs.has("warning(listener): " + std::to_string(c->drops.load()) +
                         " datagrams dropped by the kernel (receive buffer full)"));
    close(fd);
}

// A backlog is handed over in runs: begin, up to kBatchesPerRun batches,
// end; every batch inside a run, every datagram once and in order.
struct RunCollector {
    std::mutex mu;
    std::vector<std::string> data;
    std::vector<unsigned> run_batches;  // batches per finished run
    unsigned current = 0;
    bool in_run = false;
    bool outside = false;  // a batch came outside begin/end
    std::atomic<bool> stall{true};
    std::atomic<bool> stalled{false};
    std::atomic<u64> drops{0};

    static void begin(void* ctx) {
        auto* self = static_cast<RunCollector*>(ctx);
        std::lock_guard<std::mutex> l(self->mu);
        if (self->in_run) self->outside = true;
        self->in_run = true;
        self->current = 0;
    }
    static void end(void* ctx) {
        auto* self = static_cast<RunCollector*>(ctx);
        std::lock_guard<std::mutex> l(self->mu);
        if (!self->in_run) self->outside = true;
        self->in_run = false;
        self->run_batches.push_back(self->current);
    }
    static void process(void* ctx, const Datagram* batch, unsigned count, u64 kernel_drops) {
        auto* self = static_cast<RunCollector*>(ctx);
        self->drops = kernel_drops;
        if (count > 0 && batch[0].bytes() == "STALL") {
            self->stalled = true;
            while (self->stall) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::lock_guard<std::mutex> l(self->mu);
        if (!self->in_run) self->outside = true;
        ++self->current;
        for (unsigned i = 0; i < count; ++i) self->data.emplace_back(batch[i].bytes());
    }
};

TEST(Listener, BacklogIsHandedOverInBoundedRuns) {
    test::LogCapture logs;
    static auto* c = new RunCollector;
    ListenerOptions opts;
    opts.port = static_cast<u16>(test::freePort(SOCK_DGRAM));
    ASSERT_EQ(spawnUdpListener(
                  {c, &RunCollector::process, &RunCollector::begin, &RunCollector::end}, opts),
              Err::None);
    const std::string started =
        "info(listener): syslog UDP listener started on [::]:" + std::to_string(opts.port);
    for (int i = 0; i < 2000 && !logs.has(started); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    int fd = sender(opts.port);
    ASSERT_TRUE(stallOn(fd, c->stalled));
    // 5000 waiting datagrams: one run of 8 full batches, then the rest.
    const int kBacklog = 5000;
    for (int i = 0; i < kBacklog; ++i) {
        const std::string line = "line " + std::to_string(i);
        ASSERT_EQ(send(fd, line.data(), line.size(), 0), static_cast<ssize_t>(line.size()));
    }
    c->stall = false;
    for (int i = 0; i < 5000; ++i) {
        {
            std::lock_guard<std::mutex> l(c->mu);
            if (c->data.size() + c->drops.load() >= kBacklog + 1u && !c->in_run) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    close(fd);
    std::lock_guard<std::mutex> l(c->mu);
    EXPECT_FALSE(c->outside) << "a batch or an end outside a run";
    ASSERT_EQ(c->data.size() + c->drops.load(), kBacklog + 1u);
    unsigned most = 0;
    for (unsigned b : c->run_batches) most = b > most ? b : most;
    EXPECT_LE(most, kBatchesPerRun);
    // What arrived came in order (a datagram the kernel dropped is absent).
    int last = -1;
    for (size_t i = 1; i < c->data.size(); ++i) {
        const int n = std::stoi(c->data[i].substr(5));
        ASSERT_GT(n, last) << "at " << i;
        last = n;
    }
    if (c->drops.load() == 0) {
        EXPECT_EQ(most, kBatchesPerRun) << "the backlog is taken in one run of full batches";
    }
}

TEST(Listener, StopTakesWhatIsQueuedThenReturns) {
    test::LogCapture logs;
    static auto* c = new Collector;
    static auto* control = new ListenerControl;  // the thread may outlive the test
    c->stall = true;
    ListenerOptions opts;
    opts.control = control;
    u16 port = startListener(c, opts, logs);
    int fd = sender(port);
    ASSERT_TRUE(stallOn(fd, c->stalled));
    // Queued while the consumer is busy, then the stop is asked for: all of
    // it still reaches the target, and nothing sent after the drain does.
    const int kQueued = 1000;
    for (int i = 0; i < kQueued; ++i) {
        const std::string line = "queued " + std::to_string(i);
        ASSERT_EQ(send(fd, line.data(), line.size(), 0), static_cast<ssize_t>(line.size()));
    }
    control->requestStop();
    EXPECT_FALSE(control->waitStopped(50)) << "still busy with the stalled batch";
    c->stall = false;
    ASSERT_TRUE(control->waitStopped(5000));
    EXPECT_EQ(c->size() + c->drops.load(), kQueued + 1u);
    EXPECT_EQ(c->drops.load(), 0u);
    EXPECT_GE(control->drained(), 1u);
    EXPECT_TRUE(logs.hasSubstring("info(listener): syslog UDP listener stopped ("));
    ASSERT_EQ(send(fd, "late", 4, 0), 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(c->size(), kQueued + 1u);
    close(fd);

    // A stop asked for before the socket exists is honoured once it does.
    static auto* early = new ListenerControl;
    early->requestStop();
    static auto* c2 = new Collector;
    ListenerOptions opts2;
    opts2.control = early;
    startListener(c2, opts2, logs);
    EXPECT_TRUE(early->waitStopped(5000));
}

}  // namespace
}  // namespace tarvex
