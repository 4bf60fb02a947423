// arena.cpp: per-request scratch memory.
#include "http/arena.h"

#include <cstdlib>
#include <cstring>

namespace tarvex {

void* Arena::alloc(size_t n, size_t align) {
    if (!cur_) {
        cur_ = scratch_;
        cur_cap_ = scratch_cap_;
        cur_used_ = 0;
    }
    size_t at = (cur_used_ + align - 1) & ~(align - 1);
    if (at <= cur_cap_ && n <= cur_cap_ - at) {
        cur_used_ = at + n;
        total_ += n;
        return cur_ + at;
    }
    if (n > kMaxArenaBytes || total_ + n > kMaxArenaBytes) return nullptr;
    size_t cap = cur_cap_ * 2;
    if (cap < n + align) cap = n + align;
    if (cap > kMaxArenaBytes) cap = kMaxArenaBytes;
    auto* b = static_cast<Block*>(std::malloc(sizeof(Block) + cap));
    if (!b) return nullptr;
    b->next = blocks_;
    b->cap = cap;
    blocks_ = b;
    cur_ = reinterpret_cast<char*>(b + 1);
    cur_cap_ = cap;
    cur_used_ = 0;
    return alloc(n, align);
}

std::string_view Arena::copy(std::string_view s) {
    if (s.empty()) return {};
    auto* p = static_cast<char*>(alloc(s.size(), 1));
    if (!p) return {};
    std::memcpy(p, s.data(), s.size());
    return {p, s.size()};
}

void Arena::reset() {
    while (blocks_) {
        Block* next = blocks_->next;
        std::free(blocks_);
        blocks_ = next;
    }
    cur_ = nullptr;
    cur_cap_ = 0;
    cur_used_ = 0;
    total_ = 0;
}

bool BodyWriter::reserve(size_t extra) {
    if (err_ != Err::None) return false;
    if (extra <= cap_ - len_) return true;
    size_t want = cap_ ? cap_ * 2 : 4096;
    while (want < len_ + extra) want *= 2;
    auto* p = static_cast<char*>(arena_->alloc(want, 1));
    if (!p) {
        err_ = Err::OutOfMemory;
        return false;
    }
    if (len_) std::memcpy(p, data_, len_);
    data_ = p;
    cap_ = want;
    return true;
}

void BodyWriter::append(std::string_view s) {
    if (s.empty() || !reserve(s.size())) return;
    std::memcpy(data_ + len_, s.data(), s.size());
    len_ += s.size();
}

void BodyWriter::push(char c) {
    if (!reserve(1)) return;
    data_[len_++] = c;
}

}  // namespace tarvex
