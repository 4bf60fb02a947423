// local_copy.h: request-local copies of engine state for the read endpoints.
//
// The read endpoints take the engine state lock shared, copy what they
// answer with into their own request's memory, release the lock, and only
// then write JSON. Working arrays too large for a pool thread's stack come
// from the request's Arena. These are the pieces several endpoints share:
// typed arena arrays, a stable merge sort over them, a copied raw event, the
// substring test used against raw event text, and the readers of numbers in
// query strings and paths.
#pragma once

#include <cstring>
#include <optional>
#include <string_view>
#include <type_traits>

#include "api/context.h"
#include "api/json.h"
#include "common/types.h"
#include "http/arena.h"
#include "storage/ring_buffer.h"

namespace tarvex {

// Room for `n` values of T in the request's arena (uninitialised), or
// nullptr when the request's memory budget is spent.
template <class T>
T* arenaArray(Arena& arena, size_t n) {
    static_assert(std::is_trivially_copyable_v<T>, "arena arrays hold plain records");
    if (n == 0) n = 1;
    return static_cast<T*>(arena.alloc(n * sizeof(T), alignof(T)));
}

// Sorts items[0..n) by `less` keeping equal items in their order, using
// `scratch` (room for n items) as the merge buffer. Allocates nothing.
template <class T, class Less>
void stableSort(T* items, T* scratch, u32 n, Less less) {
    T* from = items;
    T* to = scratch;
    for (u32 width = 1; width < n; width *= 2) {
        for (u32 lo = 0; lo < n; lo += 2 * width) {
            u32 mid = lo + width < n ? lo + width : n;
            u32 hi = mid + width < n ? mid + width : n;
            u32 a = lo, b = mid, k = lo;
            while (a < mid && b < hi) to[k++] = less(from[b], from[a]) ? from[b++] : from[a++];
            while (a < mid) to[k++] = from[a++];
            while (b < hi) to[k++] = from[b++];
        }
        T* t = from;
        from = to;
        to = t;
    }
    if (from != items) std::memcpy(items, from, sizeof(T) * n);
}

// Whether `needle` occurs in `hay` (byte-exact; the empty needle always does).
inline bool containsBytes(std::string_view hay, std::string_view needle) {
    if (needle.empty()) return true;
    if (needle.size() > hay.size()) return false;
    return memmem(hay.data(), hay.size(), needle.data(), needle.size()) != nullptr;
}

// One raw event copied out of the ring.
struct EventCopy {
    i64 timestamp;
    u16 data_len;
    u8 source_ip_len;
    u8 type;
    char source_ip[46];
    char data[kRawEventBytes];

    std::string_view getData() const { return {data, data_len}; }
    std::string_view getSourceIp() const { return {source_ip, source_ip_len}; }
};

// Copies the used part of `e` into `out`.
void copyEvent(const RawEvent& e, EventCopy& out);

// {"timestamp":T,"type":N,"source_ip":"S","data":"D"}; without the source
// address when `with_source` is false.
void writeEventJson(JsonWriter& j, const EventCopy& e, bool with_source);

// The parsed query string; nullptr when it cannot be parsed, after setting
// the answer 400 "bad query string".
const QueryParams* queryOrBadRequest(HttpRequest& req, HttpResponse& res);

// The current time in seconds for activity windows: the pipeline's clock
// (the wall clock outside tests). The caller holds the state lock.
i64 apiNow(const ServerState& state);

// `text` as an unsigned decimal number no larger than `max` (digits only).
std::optional<u64> parseDecimal(std::string_view text, u64 max);
// `text` as a signed 64-bit decimal number (an optional '-', then digits).
std::optional<i64> parseDecimalI64(std::string_view text);

// The query parameter `name` as a signed 64-bit number, or `dflt` when it
// is absent or not one.
i64 parseQueryI64(const QueryParams& query, std::string_view name, i64 dflt);

}  // namespace tarvex
