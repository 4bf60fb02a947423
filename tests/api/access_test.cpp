// The access rules in front of every route: loopback Host names, origins,
// the constant-time token compare and the verdict for each kind of request.
#include "api/access.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/message.h"

namespace tarvex::test {
namespace {

TEST(ApiAccess, LoopbackHostHeaders) {
    const struct {
        const char* host;
        bool loopback;
    } cases[] = {
        {"localhost", true},
        {"localhost:3000", true},
        {"LOCALHOST:3000", true},
        {"app.localhost:8", true},
        {"localhost.:3000", true},
        {"127.0.0.1:3000", true},
        {"127.9.8.7", true},
        {"[::1]:3000", true},
        {"[::1]", true},
        {"evil.example", false},
        {"evil.example:3000", false},
        {"localhost.evil.example", false},
        {"128.0.0.1:3000", false},
        {"192.168.1.5:3000", false},
        {"[::2]:3000", false},
        {"localhost:30x0", false},
        {"[::1]x", false},
        {"", false},
        {"xlocalhost:3000", false},
    };
    for (const auto& k : cases) EXPECT_EQ(isLoopbackHostHeader(k.host), k.loopback) << k.host;
    EXPECT_TRUE(isLoopbackAddress("127.0.0.1"));
    EXPECT_TRUE(isLoopbackAddress("::1"));
    EXPECT_TRUE(isLoopbackAddress("::ffff:127.0.0.2"));
    EXPECT_FALSE(isLoopbackAddress("0.0.0.0"));
    EXPECT_FALSE(isLoopbackAddress("::"));
    EXPECT_FALSE(isLoopbackAddress("localhost")) << "bind addresses are numeric";
}

TEST(ApiAccess, OwnAndListedOriginsOnly) {
    ApiAccess a = makeApiAccess("", "0.0.0.0", "http://localhost:5173, https://ops.example/");
    const struct {
        const char* origin;
        const char* host;
        bool allowed;
    } cases[] = {
        {"http://192.168.1.5:3000", "192.168.1.5:3000", true},
        {"https://tarvex.lan", "tarvex.lan", true},
        {"HTTP://Tarvex.LAN:3000", "tarvex.lan:3000", true},
        {"http://localhost:5173", "192.168.1.5:3000", true},
        {"https://ops.example", "192.168.1.5:3000", true},
        {"http://evil.example", "192.168.1.5:3000", false},
        {"http://192.168.1.5:3001", "192.168.1.5:3000", false},
        {"http://192.168.1.5:3000.evil.example", "192.168.1.5:3000", false},
        {"null", "192.168.1.5:3000", false},
        {"http://localhost:5173", "", true},
        {"http://evil.example", "", false},
    };
    for (const auto& k : cases)
        EXPECT_EQ(originAllowed(a, k.origin, k.host), k.allowed) << k.origin << " on " << k.host;
}

TEST(ApiAccess, TokenCompare) {
    ApiAccess none = makeApiAccess("", "127.0.0.1", "");
    EXPECT_FALSE(none.token_required);
    EXPECT_FALSE(tokenMatches(none, "")) << "no token configured matches nothing";
    ApiAccess a = makeApiAccess("s3cret-token", "127.0.0.1", "");
    EXPECT_TRUE(tokenMatches(a, "s3cret-token"));
    const std::vector<std::string> wrong = {"",
                                            "s3cret-toke",
                                            "s3cret-token ",
                                            "S3cret-token",
                                            std::string("s3cret-token\0", 13),
                                            std::string(300, 'x')};
    for (const std::string& bad : wrong) EXPECT_FALSE(tokenMatches(a, bad)) << bad.size();
    EXPECT_EQ(bearerToken("Bearer abc"), "abc");
    EXPECT_EQ(bearerToken("bearer   abc  "), "abc");
    EXPECT_EQ(bearerToken("Basic abc"), "");
    EXPECT_EQ(bearerToken("Bearerabc"), "");
}

// A request with these headers ("name: value" pairs).
struct Req {
    HttpRequest r;
    std::vector<std::string> keep;
    Req(Method m, std::string_view path, std::vector<std::pair<std::string, std::string>> hs) {
        r.head.method = m;
        r.head.path = path;
        keep.reserve(hs.size() * 2);
        for (auto& [n, v] : hs) {
            keep.push_back(n);
            const std::string& name = keep.back();
            keep.push_back(v);
            const std::string& value = keep.back();
            r.head.headers[r.head.header_count++] = Header{name, value};
        }
    }
};

TEST(ApiAccess, VerdictForEachKindOfRequest) {
    ApiAccess open = makeApiAccess("", "127.0.0.1", "");
    ApiAccess token = makeApiAccess("tok", "0.0.0.0", "");
    using V = AccessVerdict;
    const std::string h = "127.0.0.1:3000";
    const struct {
        const ApiAccess* access;
        Method m;
        const char* path;
        std::vector<std::pair<std::string, std::string>> headers;
        V want;
        const char* rule;
    } cases[] = {
        {&open, Method::get, "/api/devices", {{"Host", h}}, V::allow, "no token: open"},
        {&open, Method::post, "/api/cases", {{"Host", h}}, V::allow, "no Origin: a script"},
        {&open,
         Method::post,
         "/api/cases",
         {{"Host", h}, {"Origin", "http://" + h}},
         V::allow,
         "own origin"},
        {&open,
         Method::post,
         "/api/cases",
         {{"Host", h}, {"Origin", "http://evil.example"}},
         V::cross_site,
         "foreign origin"},
        {&open,
         Method::delete_,
         "/api/cases/1",
         {{"Host", h}, {"Origin", "null"}},
         V::cross_site,
         "opaque origin"},
        {&open,
         Method::post,
         "/api/cases",
         {{"Host", h}, {"Sec-Fetch-Site", "cross-site"}},
         V::cross_site,
         "cross-site fetch without Origin"},
        {&open,
         Method::get,
         "/api/devices",
         {{"Host", h}, {"Origin", "http://evil.example"}},
         V::allow,
         "a cross-origin GET cannot read the answer"},
        {&open,
         Method::get,
         "/api/ws",
         {{"Host", h}, {"Upgrade", "websocket"}, {"Origin", "http://evil.example"}},
         V::cross_site,
         "foreign-origin upgrade"},
        {&open,
         Method::get,
         "/api/health",
         {{"Host", "evil.example:3000"}},
         V::foreign_host,
         "rebound name on a loopback bind"},
        {&open, Method::get, "/api/health", {}, V::allow, "no Host at all (HTTP/1.0 script)"},
        {&token,
         Method::get,
         "/api/health",
         {{"Host", "evil.example"}},
         V::allow,
         "any Host on a non-loopback bind"},
        {&token, Method::get, "/api/health", {}, V::allow, "health is open"},
        {&token, Method::head, "/api/health", {}, V::allow, "HEAD of health is open"},
        {&token, Method::get, "/", {}, V::allow, "the page is open"},
        {&token, Method::get, "/ui/js/app.js", {}, V::allow, "its files are open"},
        {&token, Method::post, "/api/health", {}, V::unauthorized, "only GET of health is open"},
        {&token, Method::get, "/api/devices", {}, V::unauthorized, "no token"},
        {&token,
         Method::get,
         "/api/devices",
         {{"Authorization", "Bearer nope"}},
         V::unauthorized,
         "wrong token"},
        {&token,
         Method::get,
         "/api/devices",
         {{"Authorization", "Bearer tok"}},
         V::allow,
         "right token"},
        {&token, Method::get, "/metrics", {}, V::unauthorized, "routes outside /api too"},
        {&token, Method::get, "/api/nothing", {}, V::unauthorized, "unknown paths too"},
        {&token, Method::get, "/api/ws", {}, V::allow, "the feed signs in by itself"},
        {&token,
         Method::post,
         "/api/cases",
         {{"Authorization", "Bearer tok"}, {"Origin", "http://evil.example"}},
         V::cross_site,
         "a token does not make a cross-site request acceptable"},
    };
    for (const auto& k : cases) {
        Req q(k.m, k.path, k.headers);
        EXPECT_EQ(checkAccess(*k.access, q.r), k.want) << k.rule;
    }
}

}  // namespace
}  // namespace tarvex::test
