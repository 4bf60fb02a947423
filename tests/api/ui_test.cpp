// The embedded dashboard: every file of web/ served byte for byte with its
// content type and cache headers, revalidation by ETag, and 404 for every
// path that names no file, all beside an unchanged API route table.
#include "api/ui.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "support/daemon.h"
#include "support/http_client.h"
#include "support/test_server.h"

namespace tarvex::test {
namespace {

constexpr std::string_view kNotFoundReply = "HTTP/1.1 404 \r\nContent-Length: 9\r\n\r\nNot Found";

std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Splits a reply into its head (up to the blank line) and body.
struct Reply {
    std::string head;
    std::string body;
    std::string header(const std::string& name) const {
        size_t p = head.find("\r\n" + name + ": ");
        if (p == std::string::npos) return "<absent>";
        p += name.size() + 4;
        return head.substr(p, head.find("\r\n", p) - p);
    }
    std::string status() const { return head.substr(0, head.find("\r\n")); }
};

Reply get(int port, std::string_view path, std::string_view extra_headers = "",
          std::string_view method = "GET") {
    RawConn c(port);
    std::string req = std::string(method) + " " + std::string(path) + " HTTP/1.1\r\nHost: x\r\n";
    req += extra_headers;
    req += "\r\n";
    if (!c.ok() || !c.send(req)) return {};
    std::string all = c.readResponse();
    size_t end = all.find("\r\n\r\n");
    if (end == std::string::npos) return {all, ""};
    return {all.substr(0, end + 2), all.substr(end + 4)};
}

std::string rawGet(int port, std::string_view path) {
    RawConn c(port);
    if (!c.ok() || !c.send("GET " + std::string(path) + " HTTP/1.1\r\nHost: x\r\n\r\n")) return {};
    return c.readResponse();
}

class UiServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        api_count = registerRoutes(srv.router());
        ui_count = registerUiRoutes(srv.router());
        ASSERT_TRUE(srv.start(false));
    }
    TestServer srv;
    size_t api_count = 0;
    size_t ui_count = 0;
};

TEST(UiAssets, TableMatchesTheWebDirectory) {
    // Every file under web/ is embedded exactly once, at the path the page
    // refers to it by, with a type the server can name and its own ETag.
    std::filesystem::path web = sourceDir() + "/web";
    std::set<std::string> on_disk;
    for (const auto& e : std::filesystem::recursive_directory_iterator(web))
        if (e.is_regular_file()) {
            std::string rel = std::filesystem::relative(e.path(), web).generic_string();
            on_disk.insert(rel == "index.html" ? "/" : "/ui/" + rel);
        }
    std::set<std::string> embedded;
    std::set<std::string_view> etags;
    for (size_t i = 0; i < kWebAssetCount; ++i) {
        const WebAsset& a = kWebAssets[i];
        embedded.insert(std::string(a.path));
        EXPECT_TRUE(a.path == "/" || a.path.starts_with("/ui/")) << a.path;
        if (a.path != "/") {
            EXPECT_NE(webContentType(a.path), ContentType::none) << a.path;
        }
        EXPECT_TRUE(a.etag.size() > 2 && a.etag.front() == '"' && a.etag.back() == '"') << a.etag;
        EXPECT_TRUE(etags.insert(a.etag).second) << "duplicate ETag " << a.etag;
    }
    EXPECT_EQ(embedded, on_disk);
    ASSERT_NE(findWebAsset("/"), nullptr);
    EXPECT_EQ(findWebAsset("/ui/"), nullptr);
    EXPECT_EQ(findWebAsset("/index.html"), nullptr);
}

TEST(UiAssets, ContentTypeByExtension) {
    const struct {
        std::string_view path;
        ContentType type;
    } cases[] = {
        {"/ui/app.css", ContentType::css},      {"/ui/js/views/graph.js", ContentType::javascript},
        {"/ui/icon.svg", ContentType::svg},     {"/ui/logo.PNG", ContentType::png},
        {"/ui/favicon.ico", ContentType::icon}, {"index.html", ContentType::html},
        {"/ui/notes.txt", ContentType::none},   {"/ui/app.css.map", ContentType::none},
        {"/ui/js", ContentType::none},          {"/ui/.js", ContentType::javascript},
    };
    for (const auto& c : cases) EXPECT_EQ(webContentType(c.path), c.type) << c.path;
}

TEST(UiAssets, EtagMatching) {
    const struct {
        std::string_view header;
        bool match;
    } cases[] = {
        {"\"abc\"", true},   {"W/\"abc\"", true},    {"*", true},    {"\"x\", \"abc\"", true},
        {" \"abc\" ", true}, {"\"x\",\"y\"", false}, {"abc", false}, {"\"abcd\"", false},
        {"", false},         {"\"ab\"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(etagMatches(c.header, "\"abc\""), c.match) << c.header;
}

TEST_F(UiServerTest, RoutesStayOutsideTheApiTable) {
    EXPECT_EQ(ui_count, 2u);
    Router api_only;
    EXPECT_EQ(registerRoutes(api_only), api_count);
    HttpRequest req;
    EXPECT_EQ(api_only.match(Method::get, "/", req), nullptr);
    EXPECT_EQ(api_only.match(Method::get, "/ui/app.css", req), nullptr);
    // The API answers as before with the dashboard routes beside it.
    Reply h = get(srv.port(), "/api/health");
    EXPECT_EQ(h.body, "{\"status\":\"ok\",\"version\":\"0.1.0\"}");
}

TEST_F(UiServerTest, PageAtRootWithPolicyAndRevalidation) {
    Reply r = get(srv.port(), "/");
    EXPECT_EQ(r.status(), "HTTP/1.1 200 ");
    EXPECT_EQ(r.header("Content-Type"), "text/html; charset=UTF-8");
    EXPECT_EQ(r.header("Cache-Control"), "no-cache");
    EXPECT_EQ(r.header("X-Content-Type-Options"), "nosniff");
    EXPECT_NE(r.header("Content-Security-Policy").find("script-src 'self'"), std::string::npos);
    EXPECT_EQ(r.body, readFile(sourceDir() + "/web/index.html"));
    EXPECT_EQ(r.header("ETag"), std::string(findWebAsset("/")->etag));
    // A query string does not change what "/" is.
    EXPECT_EQ(get(srv.port(), "/?view=devices").body, r.body);
}

TEST_F(UiServerTest, EveryFileServedWithItsTypeAndBytes) {
    std::filesystem::path web = sourceDir() + "/web";
    int files = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(web)) {
        if (!e.is_regular_file()) continue;
        std::string rel = std::filesystem::relative(e.path(), web).generic_string();
        if (rel == "index.html") continue;
        std::string path = "/ui/" + rel;
        Reply r = get(srv.port(), path);
        EXPECT_EQ(r.status(), "HTTP/1.1 200 ") << path;
        std::string ext = e.path().extension().string();
        std::string want = ext == ".css"   ? "text/css; charset=UTF-8"
                           : ext == ".js"  ? "text/javascript; charset=UTF-8"
                           : ext == ".svg" ? "image/svg+xml"
                           : ext == ".png" ? "image/png"
                                           : "image/x-icon";
        EXPECT_EQ(r.header("Content-Type"), want) << path;
        EXPECT_EQ(r.header("Cache-Control"), "no-cache") << path;
        EXPECT_EQ(r.header("X-Content-Type-Options"), "nosniff") << path;
        EXPECT_EQ(r.header("Content-Length"), std::to_string(r.body.size())) << path;
        EXPECT_EQ(r.body, readFile(e.path())) << path << " differs from the embedded copy";
        ++files;
    }
    EXPECT_GE(files, 5);
}

TEST_F(UiServerTest, ConditionalRequestsByEtag) {
    const WebAsset* css = findWebAsset("/ui/app.css");
    ASSERT_NE(css, nullptr);
    std::string etag(css->etag);

    // The current ETag: 304, no body, no Content-Length, same validators.
    RawConn c(srv.port());
    ASSERT_TRUE(
        c.send("GET /ui/app.css HTTP/1.1\r\nHost: x\r\nIf-None-Match: " + etag + "\r\n\r\n"));
    std::string head = c.readResponse();
    EXPECT_EQ(head,
              "HTTP/1.1 304 \r\nContent-Type: text/css; charset=UTF-8\r\n"
              "Cache-Control: no-cache\r\nETag: " +
                  etag + "\r\nX-Content-Type-Options: nosniff\r\n\r\n");
    // The connection stays usable: the next reply is read whole.
    ASSERT_TRUE(c.send("GET /api/health HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string next = c.readResponse();
    EXPECT_NE(next.find("{\"status\":\"ok\""), std::string::npos) << next;

    EXPECT_EQ(get(srv.port(), "/ui/app.css", "If-None-Match: W/" + etag + "\r\n").status(),
              "HTTP/1.1 304 ");
    EXPECT_EQ(
        get(srv.port(), "/", "If-None-Match: " + std::string(findWebAsset("/")->etag) + "\r\n")
            .status(),
        "HTTP/1.1 304 ");
    // Another file's ETag, or a stale one, gets the full file.
    Reply stale = get(srv.port(), "/ui/app.css", "If-None-Match: \"0000\"\r\n");
    EXPECT_EQ(stale.status(), "HTTP/1.1 200 ");
    EXPECT_EQ(stale.body, std::string(css->body));
    EXPECT_EQ(get(srv.port(), "/ui/app.css",
                  "If-None-Match: " + std::string(findWebAsset("/")->etag) + "\r\n")
                  .status(),
              "HTTP/1.1 200 ");
}

TEST_F(UiServerTest, PathsThatNameNoFileAnswerNotFound) {
    for (std::string_view path :
         {"/ui/", "/ui", "/ui/nope.js", "/ui/index.html", "/index.html", "/ui/js/", "/ui//app.css",
          "/ui/../index.html", "/ui/js/../app.css", "/ui/APP.CSS", "/favicon.ico", "/dashboard",
          "/api", "/api/", "/api/nothing", "/ui/app.css/"})
        EXPECT_EQ(rawGet(srv.port(), path), kNotFoundReply) << path;
    // Only GET (and HEAD, its body left out) is served; other methods on a
    // file's path are 405.
    for (std::string_view m : {"POST", "PUT", "DELETE", "OPTIONS"}) {
        RawConn c(srv.port());
        ASSERT_TRUE(c.send(std::string(m) +
                           " /ui/app.css HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n"));
        std::string want =
            "HTTP/1.1 405 \r\nAllow: GET, HEAD\r\nContent-Length: 18\r\n\r\nMethod Not Allowed";
        EXPECT_EQ(c.recvN(want.size()), want) << m;
        EXPECT_TRUE(c.silentFor(20)) << m << ": nothing follows";
    }
    RawConn c(srv.port());
    ASSERT_TRUE(c.send("HEAD /ui/app.css HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string head = c.recvN(12);
    EXPECT_EQ(head, "HTTP/1.1 200") << "HEAD answers like GET";
}

}  // namespace
}  // namespace tarvex::test
