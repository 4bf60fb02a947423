// fuzz_http_request.cpp: the request parser, chunked decoding and query
// strings over arbitrary bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "http/message.h"
#include "http/request.h"

using namespace tarvex;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string in(reinterpret_cast<const char*>(data), size);
    RequestHead head;
    ParseResult r = parseRequest(in, head);
    if (r.status != ParseStatus::complete) {
        if (r.consumed != 0) std::abort();
        return 0;
    }
    if (r.consumed == 0 || r.consumed > in.size()) std::abort();
    // Every view points inside the input.
    auto inside = [&](std::string_view v) {
        return v.empty() || (v.data() >= in.data() && v.data() + v.size() <= in.data() + in.size());
    };
    if (!inside(head.target) || !inside(head.path) || !inside(head.query) || !inside(head.body_raw))
        std::abort();
    for (u32 i = 0; i < head.header_count; ++i)
        if (!inside(head.headers[i].name) || !inside(head.headers[i].value)) std::abort();
    if (head.chunked) {
        std::string raw(head.body_raw);
        size_t n = decodeChunked(raw, raw.data());
        if (n > raw.size() || n > kMaxBodyBytes) std::abort();
    } else if (head.body_raw.size() > kMaxBodyBytes) {
        std::abort();
    }
    char scratch[4096];
    Arena arena(scratch, sizeof scratch);
    QueryParams q;
    if (parseQueryString(head.query, q, arena) == Err::None && q.count > kMaxQueryParams)
        std::abort();
    return 0;
}
