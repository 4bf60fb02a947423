// body.h: how handlers send the stores' fixed replies and bounded bodies.
//
// The stores write their bodies into a TextBuf sized for the worst case
// (their kMax...BodyBytes). A handler takes that room from the request's
// Arena, lets the store write, and sends the bytes as the response body; a
// body that still did not fit is an internal error (500), never a cut-off
// document.
#pragma once

#include <optional>
#include <string_view>

#include "api/context.h"
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

// Writes a JSON body of at most `cap` bytes with `write(TextBuf&)` into
// request memory and sends it with status 200. OutOfMemory when the room
// cannot be had, StreamTooLong when the body overran it.
template <class Write>
Err replyWritten(HttpRequest& req, HttpResponse& res, size_t cap, Write&& write) {
    res.content_type = ContentType::json;
    char* room = requestArray<char>(req, cap);
    if (!room) return Err::OutOfMemory;
    TextBuf out(room, cap);
    write(out);
    if (out.truncated) return Err::StreamTooLong;
    res.setBody(out.view());
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
