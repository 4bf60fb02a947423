// body.h: how handlers send fixed replies and bounded bodies.
//
// The record endpoints copy records out of their stores and write the body
// here in the API with JsonWriter, straight into the response. Each body has
// a room (its kMax...BodyBytes) that always holds it; a body that still
// overran its room is an internal error (500), never a cut-off document.
#pragma once

#include <optional>
#include <string_view>

#include "api/context.h"
#include "api/json.h"
#include "common/format.h"
#include "common/reply.h"
#include "http/message.h"

namespace tarvex {

// Sends a store's fixed reply as JSON.
inline Err replyFixed(HttpResponse& res, FixedReply r) {
    return replyJson(res, r.status, r.body);
}

// Room for `n` values of T in the request's Arena (uninitialised), or
// nullptr when the request's memory is exhausted.
template <class T>
T* requestArray(HttpRequest& req, size_t n) {
    if (n == 0) n = 1;
    return static_cast<T*>(req.arena->alloc(n * sizeof(T), alignof(T)));
}

// Writes a JSON body of at most `cap` bytes with `write(JsonWriter&)` as the
// response body, status 200. OutOfMemory when request memory runs out,
// StreamTooLong when the body overran `cap`.
template <class Write>
Err replyWritten(HttpResponse& res, size_t cap, Write&& write) {
    res.content_type = ContentType::json;
    BodyWriter& w = res.writer();
    JsonWriter j(w);
    write(j);
    if (w.err() != Err::None) return w.err();
    if (w.size() > cap) return Err::StreamTooLong;
    return Err::None;
}

// A query parameter as an optional value (absent is nothing).
inline std::optional<std::string_view> queryValue(const QueryParams& q, std::string_view name) {
    bool found = false;
    std::string_view v = q.get(name, &found);
    if (!found) return std::nullopt;
    return v;
}

// True when the request carries a non-empty body.
inline bool hasRequestBody(const HttpRequest& req) {
    return req.has_body && !req.body.empty();
}

}  // namespace tarvex
