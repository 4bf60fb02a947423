// work_queue.h: the bounded hand-off from the listener to the persistence
// thread.
//
// WorkQueue carries typed records (a kind byte and a payload) from producers
// to one consumer in FIFO order. Producers copy a record in under a mutex and
// go on at once; they never wait for the consumer. When the records waiting
// would exceed the capacity in bytes, the new record is refused: the refusal
// is counted, and the first refusal of each run of refusals is reported to the
// caller so it can log the occurrence once. The consumer takes every waiting
// record in one step by swapping buffers, and reads them without the lock.
//
// Thread-safe: any thread may push; one thread takes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <string_view>
#include <vector>

#include "common/types.h"

namespace tarvex {

enum class PushResult : u8 {
    queued,
    refused_first,  // refused, and the queue was accepting until now
    refused,        // refused during a run of refusals already reported
    closed,         // the consumer has stopped for good
};

class WorkQueue {
  public:
    explicit WorkQueue(size_t capacity_bytes);

    // Copies one record made of `parts` (concatenated) under `kind`.
    PushResult push(u8 kind, std::initializer_list<std::string_view> parts);

    // Waits until records are waiting, `wake()` was called, or `timeout_ms`
    // passed; then moves every waiting record into `out` (replacing its
    // contents). Returns whether wake() was called since the last take.
    bool take(std::vector<char>& out, int timeout_ms);
    // Wakes the consumer without a record (a flag the caller set changed).
    void wake();
    // Refuses every later push with `closed`.
    void close();

    // Records refused since the start.
    u64 refusedCount() const { return refused_.load(std::memory_order_relaxed); }

    // Walks the records of a buffer filled by take(): calls f(kind, payload)
    // for each in order.
    template <class F>
    static void forEach(const std::vector<char>& buf, F&& f) {
        size_t pos = 0;
        while (pos + kHeader <= buf.size()) {
            u32 len;
            std::memcpy(&len, buf.data() + pos, sizeof len);
            u8 kind = static_cast<u8>(buf[pos + sizeof len]);
            f(kind, std::string_view(buf.data() + pos + kHeader, len));
            pos += kHeader + len;
        }
    }

  private:
    static constexpr size_t kHeader = sizeof(u32) + 1;

    const size_t capacity_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<char> pending_;  // records waiting, in arrival order
    bool consumer_waiting_ = false;
    bool woken_ = false;
    bool refusing_ = false;
    bool closed_ = false;
    std::atomic<u64> refused_{0};
};

}  // namespace tarvex
