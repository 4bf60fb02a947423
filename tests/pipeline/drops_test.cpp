// Ingest under a burst: the real listener and pipeline, a consumer stalled on
// purpose, and a flood past the receive buffer. Whatever the kernel could
// not queue is counted in events_dropped and logged; nothing vanishes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "pipeline/pipeline_fixture.h"
#include "support/daemon.h"
#include "support/log_capture.h"

namespace tarvex {
namespace {

// Sleeps inside the batch holding the line "STALL", then hands every batch to
// the pipeline unchanged. Lives as long as the detached listener thread.
struct StallingTarget {
    Pipeline* pipeline;
    std::atomic<bool> hold{true};
    std::atomic<bool> stalled{false};

    static void process(void* ctx, const Datagram* batch, unsigned count, u64 drops) {
        auto* self = static_cast<StallingTarget*>(ctx);
        for (unsigned i = 0; i < count; ++i) {
            if (batch[i].bytes() == "STALL") {
                self->stalled = true;
                while (self->hold) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        ExclusiveGuard hold(self->pipeline->state->lock);
        self->pipeline->processBatchLocked(batch, count, drops);
    }
};

TEST(PipelineDrops, KernelDropsEqualSentMinusProcessed) {
    test::LogCapture logs;
    // Both outlive the detached listener thread, which never ends.
    static auto* rig = new test::PipelineRig();
    static auto* target = new StallingTarget{rig->p};
    ListenerOptions opts;
    opts.port = static_cast<u16>(test::freePort(SOCK_DGRAM));
    opts.receive_buffer = 128 * 1024;  // small on purpose
    ASSERT_EQ(spawnUdpListener({target, &StallingTarget::process}, opts), Err::None);
    for (int i = 0; i < 2000 && !logs.hasSubstring("syslog UDP listener started"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(opts.port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    ASSERT_EQ(send(fd, "STALL", 5, 0), 5);
    for (int i = 0; i < 2000 && !target->stalled; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(target->stalled);

    const std::string line =
        "<134>Oct 26 20:01:31 gw kernel: [LAN_IN-D-1] IN=br0 SRC=192.168.1.9 DST=192.168.1.1 "
        "LEN=60 PROTO=TCP SPT=1 DPT=22";
    u64 sent = 1;
    for (int i = 0; i < 20000; ++i)
        if (send(fd, line.data(), line.size(), 0) > 0) ++sent;
    target->hold = false;

    CountersSnapshot s{};
    for (int i = 0; i < 10000; ++i) {
        {
            SharedGuard read(rig->state.lock);
            s = rig->state.readCounters();
        }
        if (s.events_processed + s.events_dropped >= sent) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GT(s.events_dropped, 0u);
    EXPECT_EQ(s.events_dropped, sent - s.events_processed);
    for (int i = 0; i < 3000 && !logs.hasSubstring("dropped by the kernel"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(logs.has("warning(listener): " + std::to_string(s.events_dropped) +
                         " datagrams dropped by the kernel (receive buffer full)"));
    close(fd);
}

}  // namespace
}  // namespace tarvex
