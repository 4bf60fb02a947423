// The stream reader in this process over real sockets: many senders at once
// while counters are read and the reader is stopped, and idle connections.
#include "ingest/stream_listener.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/stream_sender.h"

namespace tarvex {
namespace {

// Collects what the reader hands over; begin and end take a mutex the way
// the pipeline takes the state lock.
struct Collect {
    std::mutex mu;
    std::vector<std::pair<std::string, std::string>> got;  // source, text
    static void process(void* ctx, const Datagram* b, unsigned n, u64) {
        auto* c = static_cast<Collect*>(ctx);
        for (unsigned i = 0; i < n; ++i)
            c->got.emplace_back(std::string(b[i].sourceIp()), std::string(b[i].bytes()));
    }
    static void begin(void* ctx) { static_cast<Collect*>(ctx)->mu.lock(); }
    static void end(void* ctx) { static_cast<Collect*>(ctx)->mu.unlock(); }
    ListenerTarget target() { return {this, process, begin, end}; }
    size_t size() {
        std::lock_guard<std::mutex> l(mu);
        return got.size();
    }
};

struct Reader {
    Collect out;
    StreamCounters counters;
    ListenerControl control;
    StreamOptions opts;
    std::thread thread;
    explicit Reader(int idle_seconds = kStreamIdleSeconds) {
        opts.tcp_port = static_cast<u16>(test::freeListenPort());
        opts.idle_seconds = idle_seconds;
        opts.counters = &counters;
        opts.control = &control;
        thread = std::thread([this] { runStreamListener(out.target(), opts); });
    }
    ~Reader() {
        control.requestStop();
        thread.join();
    }
    bool waitFor(size_t n) {
        for (int i = 0; i < 500 && out.size() < n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return out.size() >= n;
    }
};

bool listening(test::LogCapture& logs, u16 port) {
    const std::string line =
        "info(streams): syslog TCP listener started on [::]:" + std::to_string(port);
    for (int i = 0; i < 500 && !logs.has(line); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return logs.has(line);
}

TEST(StreamConcurrency, ManySendersWhileCountersAreReadAndTheReaderStops) {
    test::LogCapture logs;
    auto reader = std::make_unique<Reader>();
    Reader& r = *reader;
    ASSERT_TRUE(listening(logs, r.opts.tcp_port));
    constexpr int kSenders = 4, kEach = 500;
    std::atomic<bool> reading{true};
    // Reads the counters the way /metrics does, beside the reader's writes
    // (for the race detector); the counts are checked below.
    std::atomic<u64> reads{0};
    std::thread watcher([&] {
        while (reading.load()) {
            (void)r.counters.connections.load(std::memory_order_relaxed);
            (void)r.counters.messages.load(std::memory_order_relaxed);
            reads.fetch_add(1, std::memory_order_relaxed);
        }
    });
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            const std::string from = "127.0.0." + std::to_string(s + 2);
            test::StreamSender out("127.0.0.1", r.opts.tcp_port, from.c_str());
            ASSERT_TRUE(out.ok());
            std::string all;
            for (int i = 0; i < kEach; ++i) {
                const std::string m = "<13>sender " + std::to_string(s) + " #" + std::to_string(i);
                all += i % 3 ? m + "\n" : std::to_string(m.size()) + " " + m;
            }
            // In pieces of 37 bytes: every message is split somewhere.
            for (size_t at = 0; at < all.size(); at += 37)
                ASSERT_TRUE(out.send(all.substr(at, 37)));
        });
    }
    for (auto& t : senders) t.join();
    EXPECT_TRUE(r.waitFor(kSenders * kEach));
    reading = false;
    watcher.join();
    std::map<std::string, int> next;  // per sender address, the next number expected
    {
        std::lock_guard<std::mutex> l(r.out.mu);
        ASSERT_EQ(r.out.got.size(), static_cast<size_t>(kSenders * kEach));
        for (const auto& [source, text] : r.out.got) {
            const int s = source.back() - '2';
            EXPECT_EQ(text, "<13>sender " + std::to_string(s) + " #" + std::to_string(next[source]))
                << "arrival order per connection";
            ++next[source];
        }
    }
    EXPECT_EQ(r.counters.messages.load(), static_cast<u64>(kSenders * kEach));
    reader.reset();  // stop and join
    EXPECT_TRUE(logs.hasSubstring("info(streams): syslog stream listener stopped ("));
}

TEST(StreamListener, IdleConnectionsAreClosed) {
    test::LogCapture logs;
    Reader r(1);
    ASSERT_TRUE(listening(logs, r.opts.tcp_port));
    test::StreamSender quiet("127.0.0.1", r.opts.tcp_port);
    test::StreamSender talking("127.0.0.1", r.opts.tcp_port);
    ASSERT_TRUE(quiet.send("<13>a line left open"));
    for (int i = 0; i < 6; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ASSERT_TRUE(talking.send("<13>still here\n"));
    }
    EXPECT_TRUE(quiet.closedByPeer(3000));
    EXPECT_FALSE(talking.closedByPeer(50)) << "a connection with data stays";
    EXPECT_EQ(r.counters.closed_idle.load(), 1u);
    EXPECT_TRUE(logs.hasSubstring(
        "warning(streams): closing the connection from 127.0.0.1: nothing for 1 s"));
    ASSERT_TRUE(r.waitFor(7));
    std::lock_guard<std::mutex> l(r.out.mu);
    EXPECT_EQ(std::count_if(r.out.got.begin(), r.out.got.end(),
                            [](const auto& e) { return e.second == "<13>a line left open"; }),
              1)
        << "the idle connection's unterminated line is handed over when it is closed";
}

}  // namespace
}  // namespace tarvex
