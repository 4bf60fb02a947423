// The request parser, query strings and the router, as pure functions.
#include "http/request.h"

#include <gtest/gtest.h>

#include <string>

#include "http/message.h"
#include "http/router.h"

namespace tarvex {
namespace {

TEST(HttpRequestParser, StatusAndFraming) {
    struct Case {
        std::string in;
        ParseStatus status;
        size_t rest;  // bytes after the request (pipelined)
        const char* rule;
    };
    const std::string get = "GET /a HTTP/1.1\r\nHost: x\r\n\r\n";
    const Case cases[] = {
        {get, ParseStatus::complete, 0, "simple GET"},
        {get + "GET /b", ParseStatus::complete, 6, "pipelined bytes are not consumed"},
        {"GET /a HTTP/1.1\r\nHost: x\r\n", ParseStatus::incomplete, 0, "head not finished"},
        {"GE", ParseStatus::incomplete, 0, "partial method"},
        {"", ParseStatus::incomplete, 0, "nothing yet"},
        {"GET /a HTTP/1.1\r\n\r\n", ParseStatus::complete, 0, "no headers, no Host needed"},
        {"POST /a HTTP/1.1\r\nContent-Length: 3\r\n\r\nab", ParseStatus::incomplete, 0,
         "body not complete"},
        {"POST /a HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET", ParseStatus::complete, 3,
         "body by length"},
        {"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
         ParseStatus::complete, 0, "chunked"},
        {"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n",
         ParseStatus::incomplete, 0, "chunked without the final empty line"},
        {"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcd\r\n",
         ParseStatus::invalid, 0, "chunk longer than its size"},
        {"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n123456789\r\n",
         ParseStatus::body_too_big, 0, "chunk size past any limit"},
        {"POST /a HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", ParseStatus::invalid, 0,
         "chunked in HTTP/1.0"},
        {"POST /a HTTP/1.1\r\nContent-Length: -1\r\n\r\n", ParseStatus::invalid, 0,
         "negative length"},
        {"POST /a HTTP/1.1\r\nContent-Length: 1e3\r\n\r\n", ParseStatus::invalid, 0,
         "length not plain digits"},
        {"POST /a HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\nab",
         ParseStatus::complete, 0, "repeated equal lengths"},
        {"POST /a HTTP/1.1\r\nContent-Length: 1048576\r\n\r\n", ParseStatus::incomplete, 0,
         "1 MiB exactly is allowed"},
        {"POST /a HTTP/1.1\r\nContent-Length: 1048577\r\n\r\n", ParseStatus::body_too_big, 0,
         "one byte over 1 MiB"},
        {"GET /a HTTP/1.1\n\n", ParseStatus::invalid, 0, "bare line feeds"},
        {"GET /a HTTP/1.1\r\nX: a\rb\r\n\r\n", ParseStatus::invalid, 0, "bare carriage return"},
        {"GET /a HTTP/1.1\r\nX: a\x01\r\n\r\n", ParseStatus::invalid, 0, "control byte in value"},
        {"GET /a HTTP/1.1\r\n: v\r\n\r\n", ParseStatus::invalid, 0, "empty header name"},
        {"GET /a HTTP/1.1\r\nX : v\r\n\r\n", ParseStatus::invalid, 0, "space before colon"},
        {"GET a HTTP/1.1\r\n\r\n", ParseStatus::invalid, 0, "target not starting with /"},
        {"GET http://h/a HTTP/1.1\r\n\r\n", ParseStatus::invalid, 0, "absolute form"},
        {"GET /a b HTTP/1.1\r\n\r\n", ParseStatus::invalid, 0, "space inside target"},
        {"GET  /a HTTP/1.1\r\n\r\n", ParseStatus::invalid, 0, "double space"},
        {"GET /a HTTP/1.2\r\n\r\n", ParseStatus::invalid, 0, "unknown minor version"},
        {"GET /a http/1.1\r\n\r\n", ParseStatus::invalid, 0, "lower-case protocol"},
        {"G(T /a HTTP/1.1\r\n", ParseStatus::invalid, 0, "bad method byte refused early"},
        {std::string(kMaxHeaderBytes, 'A'), ParseStatus::header_too_big, 0,
         "64 KiB without the end of the head"},
    };
    for (const Case& k : cases) {
        RequestHead h;
        ParseResult r = parseRequest(k.in, h);
        EXPECT_EQ(static_cast<int>(r.status), static_cast<int>(k.status)) << k.rule;
        if (r.status == ParseStatus::complete) {
            EXPECT_EQ(r.consumed, k.in.size() - k.rest) << k.rule;
        }
    }
}

TEST(HttpRequestParser, FieldsOfTheRequest) {
    RequestHead h;
    std::string in =
        "PATCH /api/x%20y?limit=5&q HTTP/1.0\r\nHost:  example \r\nCONNECTION: Keep-Alive\r\n"
        "X-Empty:\r\n\r\n";
    ASSERT_EQ(parseRequest(in, h).status, ParseStatus::complete);
    EXPECT_EQ(h.method, Method::patch);
    EXPECT_EQ(h.method_text, "PATCH");
    EXPECT_EQ(h.target, "/api/x%20y?limit=5&q");
    EXPECT_EQ(h.path, "/api/x%20y");
    EXPECT_EQ(h.query, "limit=5&q");
    EXPECT_EQ(h.version_minor, 0);
    EXPECT_TRUE(h.keep_alive) << "HTTP/1.0 with keep-alive";
    EXPECT_EQ(h.header("host"), "example") << "names ignore case, values are trimmed";
    bool found = false;
    EXPECT_EQ(h.header("x-empty", &found), "");
    EXPECT_TRUE(found);
    h.header("x-missing", &found);
    EXPECT_FALSE(found);

    ASSERT_EQ(parseRequest("BREW /pot HTTP/1.1\r\nConnection: close\r\n\r\n", h).status,
              ParseStatus::complete);
    EXPECT_EQ(h.method, Method::other);
    EXPECT_FALSE(h.keep_alive);
}

TEST(HttpRequestParser, HeaderLineLimit) {
    std::string in = "GET / HTTP/1.1\r\n";
    for (size_t i = 0; i < kMaxHeaderLines; ++i)
        in.append("H").append(std::to_string(i)).append(": v\r\n");
    RequestHead h;
    EXPECT_EQ(parseRequest(in + "\r\n", h).status, ParseStatus::complete) << "64 lines fit";
    EXPECT_EQ(parseRequest(in + "X: y\r\n\r\n", h).status, ParseStatus::header_too_big)
        << "the 65th line does not";
}

TEST(HttpRequestParser, ChunkedDecoding) {
    const struct {
        const char* encoded;
        const char* decoded;
        const char* rule;
    } cases[] = {
        {"5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n", "hello world", "two chunks"},
        {"A;name=v\r\n0123456789\r\n0\r\nT: 1\r\n\r\n", "0123456789", "extension, trailer"},
        {"0\r\n\r\n", "", "empty body"},
        {"1\r\n\r\r\n1\r\n\n\r\n0\r\n\r\n", "\r\n", "CR and LF as chunk data"},
    };
    for (const auto& k : cases) {
        std::string req =
            std::string("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n") + k.encoded;
        RequestHead h;
        ASSERT_EQ(parseRequest(req, h).status, ParseStatus::complete) << k.rule;
        EXPECT_TRUE(h.chunked);
        std::string buf(h.body_raw);
        size_t n = decodeChunked(buf, buf.data());
        EXPECT_EQ(buf.substr(0, n), k.decoded) << k.rule << " (in place)";
    }
}

TEST(HttpQueryString, ParsingRules) {
    struct Case {
        const char* qs;
        Err err;
        std::vector<std::pair<std::string, std::string>> pairs;
        const char* rule;
    };
    const Case cases[] = {
        {"", Err::None, {}, "empty"},
        {"limit=5&offset=10", Err::None, {{"limit", "5"}, {"offset", "10"}}, "two pairs"},
        {"a=1&&b=2&", Err::None, {{"a", "1"}, {"b", "2"}}, "empty pieces skipped"},
        {"flag", Err::None, {{"flag", ""}}, "name without value"},
        {"q=a%20b+c%2b", Err::None, {{"q", "a b c+"}}, "percent and plus decoded"},
        {"k%3D=v=w", Err::None, {{"k=", "v=w"}}, "first = splits"},
        {"q=%zz", Err::InvalidCharacter, {}, "bad escape"},
        {"q=%2", Err::InvalidCharacter, {}, "escape cut short"},
        {"=v", Err::InvalidCharacter, {}, "empty name"},
        {"q=\x01", Err::InvalidCharacter, {}, "control byte"},
    };
    for (const Case& k : cases) {
        char scratch[1024];
        Arena arena(scratch, sizeof scratch);
        QueryParams q;
        EXPECT_EQ(parseQueryString(k.qs, q, arena), k.err) << k.rule;
        if (k.err != Err::None) continue;
        ASSERT_EQ(q.count, k.pairs.size()) << k.rule;
        for (size_t i = 0; i < k.pairs.size(); ++i) {
            EXPECT_EQ(q.items[i].name, k.pairs[i].first) << k.rule;
            EXPECT_EQ(q.items[i].value, k.pairs[i].second) << k.rule;
        }
    }
    std::string many;
    for (size_t i = 0; i <= kMaxQueryParams; ++i)
        many.append("p").append(std::to_string(i)).append("=1&");
    char scratch[1024];
    Arena arena(scratch, sizeof scratch);
    QueryParams q;
    EXPECT_EQ(parseQueryString(many, q, arena), Err::Overflow) << "more than 32 pairs";
}

Err noop(void*, HttpRequest&, HttpResponse&) {
    return Err::None;
}
Err other(void*, HttpRequest&, HttpResponse&) {
    return Err::None;
}

TEST(HttpRouter, MatchingRules) {
    Router r;
    ASSERT_TRUE(r.get("/", other));
    ASSERT_TRUE(r.get("/api/devices", noop));
    ASSERT_TRUE(r.get("/api/devices/:id", noop));
    ASSERT_TRUE(r.get("/api/devices/:id/activity", noop));
    ASSERT_TRUE(r.post("/api/cases/:id/notes", noop));
    ASSERT_TRUE(r.get("/ui/*file", other));
    struct Case {
        Method m;
        const char* path;
        const char* pattern;  // nullptr: no match
        const char* params;   // "name=value;..."
        const char* rule;
    };
    const Case cases[] = {
        {Method::get, "/", "/", "", "root"},
        {Method::get, "/api/devices", "/api/devices", "", "literal"},
        {Method::get, "/api/devices/AA:BB", "/api/devices/:id", "id=AA:BB;", "parameter"},
        {Method::get, "/api/devices/7/activity", "/api/devices/:id/activity", "id=7;",
         "parameter in the middle"},
        {Method::post, "/api/cases/3/notes", "/api/cases/:id/notes", "id=3;", "POST route"},
        {Method::get, "/api/cases/3/notes", nullptr, "", "method must match"},
        {Method::get, "/api/devices/", nullptr, "", "empty parameter segment"},
        {Method::get, "/api/devices/7/activity/x", nullptr, "", "extra segment"},
        {Method::get, "/api/device", nullptr, "", "literal prefix"},
        {Method::get, "/ui/js/app.js", "/ui/*file", "file=js/app.js;", "rest of the path"},
        {Method::get, "/ui/", nullptr, "", "wildcard needs a segment"},
        {Method::get, "/a/b/c/d/e/f/g/h/i/j/k/l/m/n", nullptr, "", "long path"},
        {Method::head, "/api/devices", "/api/devices", "", "HEAD is answered by GET"},
    };
    for (const Case& k : cases) {
        HttpRequest req;
        const Route* route = r.match(k.m, k.path, req);
        if (!k.pattern) {
            EXPECT_EQ(route, nullptr) << k.rule;
            continue;
        }
        ASSERT_NE(route, nullptr) << k.rule;
        EXPECT_EQ(route->pattern, k.pattern) << k.rule;
        std::string got;
        for (u32 i = 0; i < req.param_count; ++i)
            got += std::string(req.params[i].name) + "=" + std::string(req.params[i].value) + ";";
        EXPECT_EQ(got, k.params) << k.rule;
    }
}

TEST(HttpRouter, RefusesBadPatternsAndOverflow) {
    Router r;
    EXPECT_FALSE(r.get("api/x", noop)) << "pattern must start with /";
    EXPECT_FALSE(r.get("/a//b", noop)) << "empty segment";
    EXPECT_FALSE(r.get("/a/:", noop)) << "parameter without a name";
    EXPECT_FALSE(r.get("/a/*rest/b", noop)) << "wildcard must be last";
    EXPECT_EQ(r.count(), 0u);
    static std::string names[kMaxRoutes + 1];
    for (size_t i = 0; i <= kMaxRoutes; ++i) {
        names[i] = std::string("/r").append(std::to_string(i));
        EXPECT_EQ(r.get(names[i], noop), i < kMaxRoutes) << i;
    }
    EXPECT_EQ(r.count(), kMaxRoutes);
}

}  // namespace
}  // namespace tarvex
