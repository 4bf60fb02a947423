// message.h: the request and response as handlers see them.
//
// An HttpRequest is the parsed request plus what routing bound (path
// parameters), its body, and the per-request Arena. An HttpResponse is what a
// handler fills in: status, content type, extra headers and a body, either a
// fixed byte slice or text streamed into a BodyWriter that lives in the
// request's Arena. A handler may instead upgrade the connection to a
// WebSocket. Both belong to the one handler thread running the request.
#pragma once

#include <string_view>

#include "common/error.h"
#include "http/arena.h"
#include "http/request.h"

namespace tarvex {

constexpr size_t kMaxQueryParams = 32;
constexpr size_t kMaxExtraHeaders = 8;

struct QueryParam {
    std::string_view name;
    std::string_view value;
};

// A query string split into decoded name and value pairs, in order.
struct QueryParams {
    QueryParam items[kMaxQueryParams];
    u32 count = 0;

    // The value of the first parameter with this exact name; `found` says
    // whether there was one.
    std::string_view get(std::string_view name, bool* found = nullptr) const;
};

// Splits `qs` at '&' into name=value pairs and decodes each side ("%XX" is
// the byte, '+' a space); decoded text is copied into `arena`. Empty pieces
// ("a=1&&b=2") are skipped; a piece without '=' has an empty value.
// A query string is unparsable (InvalidCharacter) when a '%' is not followed
// by two hexadecimal digits, a piece has an empty name ("=x"), or it holds a
// control byte; more than 32 pairs is Overflow; OutOfMemory when the arena
// is exhausted.
Err parseQueryString(std::string_view qs, QueryParams& out, Arena& arena);

class HttpRequest {
  public:
    RequestHead head;
    std::string_view body;  // decoded; meaningful when has_body
    bool has_body = false;
    PathParam params[kMaxPathParams];
    u32 param_count = 0;
    Arena* arena = nullptr;
    // The client's address and port as text (for log lines).
    std::string_view peer;

    Method method() const { return head.method; }
    std::string_view path() const { return head.path; }
    // Path plus query string as sent (the request URL in log lines).
    std::string_view target() const { return head.target; }
    std::string_view queryString() const { return head.query; }
    // A header by its lower-case name (ASCII case is ignored).
    std::string_view header(std::string_view name, bool* found = nullptr) const {
        return head.header(name, found);
    }
    // A path parameter bound by the route (":id" is param("id")).
    std::string_view param(std::string_view name) const;
    // The query string, parsed on first use; an error when it is unparsable
    // (see parseQueryString), which handlers answer with "bad query string".
    Result<const QueryParams*> query();

    // Clears routing and query state before the request is reused.
    void resetForDispatch(Arena* a);

  private:
    QueryParams query_;
    Err query_err_ = Err::None;
    bool query_parsed_ = false;
};

// Selects the one Content-Type header written for a response.
enum class ContentType : u8 { none, json, text, html, css, javascript, svg, png, icon, metrics };

std::string_view contentTypeHeader(ContentType t);

struct WsCallbacks;

class HttpResponse {
  public:
    explicit HttpResponse(Arena* arena) : body_(arena) {}

    u16 status = 200;
    ContentType content_type = ContentType::none;

    // A fixed body (its bytes must outlive the response, e.g. a literal).
    void setBody(std::string_view bytes) {
        fixed_ = bytes;
        has_fixed_ = true;
        body_.clear();
    }
    // The streamed body; anything written here replaces a fixed body.
    BodyWriter& writer() {
        has_fixed_ = false;
        return body_;
    }
    std::string_view body() const { return has_fixed_ ? fixed_ : body_.view(); }
    Err bodyErr() const { return has_fixed_ ? Err::None : body_.err(); }

    // An extra header line; its text must outlive the response. Overflow
    // when more than kMaxExtraHeaders are added.
    Err addHeader(std::string_view name, std::string_view value);
    u32 extraHeaderCount() const { return extra_count_; }
    const Header& extraHeader(u32 i) const { return extra_[i]; }

    // Turns the connection into a WebSocket once the handler returns: the
    // engine sends the 101 reply and then serves the connection through
    // `cb` with `user` as its context. The extra headers go into the 101
    // reply. With `await_first_message` the connection is closed unless a
    // data message arrives within the head time-out (a client that still
    // has to sign in).
    void upgradeWebSocket(const WsCallbacks* cb, void* user, bool await_first_message = false) {
        ws_ = cb;
        ws_user_ = user;
        ws_await_first_ = await_first_message;
    }
    bool wsAwaitFirst() const { return ws_await_first_; }
    const WsCallbacks* wsCallbacks() const { return ws_; }
    void* wsUser() const { return ws_user_; }

    // Back to the defaults (status 200, no type, no headers, empty body).
    void reset();

  private:
    BodyWriter body_;
    std::string_view fixed_;
    bool has_fixed_ = false;
    Header extra_[kMaxExtraHeaders];
    u32 extra_count_ = 0;
    const WsCallbacks* ws_ = nullptr;
    void* ws_user_ = nullptr;
    bool ws_await_first_ = false;
};

// Writes the status line and headers of `res` for a body of `body_len` bytes
// into `out`: "HTTP/1.1 NNN \r\n", the content type, extra headers, a
// Connection header when `connection` is not empty, "Content-Length: N" (none
// for a 304, which has no body) and the empty line. Returns the length, or 0 when `cap` is too
// small.
size_t writeResponseHead(const HttpResponse& res, size_t body_len, std::string_view connection,
                         char* out, size_t cap);

// The engine's own replies, each followed by closing the connection.
constexpr std::string_view kReplyBadRequest =
    "HTTP/1.1 400 \r\nConnection: Close\r\nContent-Length: 15\r\n\r\nInvalid Request";
constexpr std::string_view kReplyBodyTooBig =
    "HTTP/1.1 413 \r\nConnection: Close\r\nContent-Length: 23\r\n\r\nRequest body is too big";
constexpr std::string_view kReplyHeaderTooBig =
    "HTTP/1.1 431 \r\nConnection: Close\r\nContent-Length: 25\r\n\r\nRequest header is too big";
constexpr std::string_view kReplyTimeout =
    "HTTP/1.1 408 \r\nConnection: Close\r\nContent-Length: 15\r\n\r\nRequest Timeout";
constexpr std::string_view kReplyInternalError =
    "HTTP/1.1 500 \r\nConnection: Close\r\nContent-Length: 21\r\n\r\nInternal Server Error";

}  // namespace tarvex
