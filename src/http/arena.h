// arena.h: per-request scratch memory and the growable response writer.
//
// Each handler thread owns a 32768-byte scratch block. A request's Arena
// starts there and takes further blocks from the heap only when a response
// or a handler's request-local copies outgrow it; reset() releases every
// extra block once the response is sent. Handlers never free anything.
//
// Not thread-safe: an Arena belongs to one handler thread.
#pragma once

#include <string_view>

#include "common/error.h"
#include "common/types.h"

namespace tarvex {

constexpr size_t kHandlerScratchBytes = 32768;
// The most memory one request may take (response body included); beyond it
// allocations fail with OutOfMemory and the handler answers 500.
constexpr size_t kMaxArenaBytes = 64u * 1024 * 1024;

class Arena {
  public:
    Arena(char* scratch, size_t cap) : scratch_(scratch), scratch_cap_(cap) {}
    ~Arena() { reset(); }
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    // `n` bytes aligned to `align` (a power of two), or nullptr when the
    // request's budget or the system's memory is exhausted.
    void* alloc(size_t n, size_t align = 8);
    // Copies `s` into the arena; an empty view when out of memory.
    std::string_view copy(std::string_view s);
    // Releases every heap block and rewinds the scratch block.
    void reset();
    size_t bytesInUse() const { return total_; }

  private:
    struct Block {
        Block* next;
        size_t cap;
    };
    char* scratch_;
    size_t scratch_cap_;
    char* cur_ = nullptr;  // the block being filled (scratch first)
    size_t cur_cap_ = 0;
    size_t cur_used_ = 0;
    size_t total_ = 0;
    Block* blocks_ = nullptr;  // heap blocks, newest first
};

// A byte buffer that grows inside an Arena. The first failure to grow is
// kept in `err` and later appends are ignored, so a handler can write freely
// and check once at the end.
class BodyWriter {
  public:
    explicit BodyWriter(Arena* arena) : arena_(arena) {}

    void append(std::string_view s);
    void push(char c);
    std::string_view view() const { return {data_, len_}; }
    size_t size() const { return len_; }
    void clear() { len_ = 0; }
    Err err() const { return err_; }

  private:
    bool reserve(size_t extra);
    Arena* arena_;
    char* data_ = nullptr;
    size_t len_ = 0;
    size_t cap_ = 0;
    Err err_ = Err::None;
};

}  // namespace tarvex
