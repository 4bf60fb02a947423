// request.h: HTTP/1.1 requests and the request parser.
//
// parseRequest is a pure function over the bytes received so far on one
// connection: it reads the request line and header block, decides how the
// body is delimited (Content-Length or chunked) and says whether a complete
// request is present, how many bytes it spans, or why it must be refused.
// The parsed request holds views into those bytes; nothing is copied.
//
// Limits (the engine's defaults, the only values in force):
//   - header block (request line, header lines and the empty line): 64 KiB;
//     a longer block, or more than 64 header lines, is refused with 431;
//   - body: 1 MiB after decoding; a larger Content-Length is refused with 413
//     as soon as the header block is read, without waiting for the body;
//   - a chunked body's encoded form (sizes, extensions, trailers): 2 MiB, so
//     that tiny chunks cannot make the connection buffer grow without bound
//     (413 as well).
// Accepted framing: CRLF line ends only; origin-form targets ("/...") and "*";
// HTTP/1.0 and HTTP/1.1. Refused as unparsable (400): obsolete line folding,
// control bytes in the target or header values, a Transfer-Encoding other
// than "chunked", Transfer-Encoding together with Content-Length, and
// Content-Length values that differ or are not plain digits. A Host header is
// not required.
#pragma once

#include <string_view>

#include "common/error.h"
#include "common/types.h"

namespace tarvex {

constexpr size_t kMaxHeaderBytes = 64 * 1024;
constexpr size_t kMaxHeaderLines = 64;
constexpr size_t kMaxBodyBytes = 1024 * 1024;
constexpr size_t kMaxChunkedBytes = 2 * 1024 * 1024;
// The largest request (header block plus encoded body) a connection buffers.
constexpr size_t kMaxRequestBytes = kMaxHeaderBytes + kMaxChunkedBytes;
// Path parameters bound by a route.
constexpr size_t kMaxPathParams = 8;

enum class Method : u8 { get, head, post, put, patch, delete_, options, connect, trace, other };

struct Header {
    std::string_view name;   // as sent; compared without regard to case
    std::string_view value;  // without surrounding white space
};

struct PathParam {
    std::string_view name;
    std::string_view value;
};

// The request line, headers and body framing, as parsed.
struct RequestHead {
    Method method = Method::other;
    std::string_view method_text;
    std::string_view target;  // path plus "?query" as sent
    std::string_view path;
    std::string_view query;  // after '?', empty when there is none
    u8 version_minor = 1;
    Header headers[kMaxHeaderLines];
    u32 header_count = 0;
    bool keep_alive = true;
    bool chunked = false;
    bool has_body = false;
    size_t content_length = 0;
    // The body as it sits in the input: plain bytes, or the chunked encoding
    // (decode it with decodeChunked).
    std::string_view body_raw;

    // The value of the first header with this name (ASCII case ignored), or
    // an empty view with `found` false.
    std::string_view header(std::string_view name, bool* found = nullptr) const;
};

enum class ParseStatus : u8 {
    incomplete,      // need more bytes
    complete,        // a whole request; `consumed` bytes belong to it
    invalid,         // 400
    header_too_big,  // 431
    body_too_big,    // 413
};

struct ParseResult {
    ParseStatus status = ParseStatus::incomplete;
    size_t consumed = 0;
    // True once the header block has been parsed into the RequestHead (the
    // body may still be incomplete).
    bool head_done = false;
};

// Parses the request at the start of `in`.
ParseResult parseRequest(std::string_view in, RequestHead& out);

// Decodes a chunked body that parseRequest accepted into `out`, which must
// hold raw.size() bytes; `out` may be raw.data() itself (decoding only moves
// bytes towards the front). Returns the decoded length.
size_t decodeChunked(std::string_view raw, char* out);

// ASCII case-insensitive equality.
bool equalsIgnoreCase(std::string_view a, std::string_view b);
// True when `list` (a comma-separated header value) holds `token`, case ignored.
bool headerHasToken(std::string_view list, std::string_view token);

}  // namespace tarvex
