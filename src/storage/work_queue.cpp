// work_queue.cpp: push, take and the refusal accounting of the hand-off.
#include "storage/work_queue.h"

#include <chrono>

namespace tarvex {

WorkQueue::WorkQueue(size_t capacity_bytes) : capacity_(capacity_bytes) {
    pending_.reserve(capacity_bytes);
}

PushResult WorkQueue::push(u8 kind, std::initializer_list<std::string_view> parts) {
    size_t len = 0;
    for (std::string_view p : parts) len += p.size();
    std::lock_guard<std::mutex> l(mu_);
    if (closed_) return PushResult::closed;
    if (pending_.size() + kHeader + len > capacity_) {
        refused_.fetch_add(1, std::memory_order_relaxed);
        if (refusing_) return PushResult::refused;
        refusing_ = true;
        return PushResult::refused_first;
    }
    refusing_ = false;
    u32 len32 = static_cast<u32>(len);
    const char* lp = reinterpret_cast<const char*>(&len32);
    pending_.insert(pending_.end(), lp, lp + sizeof len32);
    pending_.push_back(static_cast<char>(kind));
    for (std::string_view p : parts) pending_.insert(pending_.end(), p.begin(), p.end());
    if (consumer_waiting_) cv_.notify_one();
    return PushResult::queued;
}

bool WorkQueue::take(std::vector<char>& out, int timeout_ms) {
    out.clear();
    std::unique_lock<std::mutex> l(mu_);
    if (pending_.empty() && !woken_) {
        consumer_waiting_ = true;
        cv_.wait_for(l, std::chrono::milliseconds(timeout_ms),
                     [this] { return !pending_.empty() || woken_; });
        consumer_waiting_ = false;
    }
    // The consumer's buffer becomes the (empty) intake, keeping its capacity
    // so producers never allocate.
    out.swap(pending_);
    if (pending_.capacity() < capacity_) pending_.reserve(capacity_);
    bool woken = woken_;
    woken_ = false;
    return woken;
}

void WorkQueue::wake() {
    std::lock_guard<std::mutex> l(mu_);
    woken_ = true;
    cv_.notify_one();
}

void WorkQueue::close() {
    std::lock_guard<std::mutex> l(mu_);
    closed_ = true;
    woken_ = true;
    cv_.notify_one();
}

}  // namespace tarvex
