// The API's shared helpers: JSON strings and numbers, the writer's commas,
// request-body fields, path decoding, query numbers and feed messages.
#include "api/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "api/params.h"
#include "api/ws.h"

namespace tarvex {
namespace {

std::string jsonStr(std::string_view in) {
    char scratch[256];
    Arena arena(scratch, sizeof scratch);
    BodyWriter w(&arena);
    writeJsonStr(w, in);
    return std::string(w.view());
}

TEST(ApiJson, StringEscapingAndUtf8) {
    const struct {
        std::string in;
        std::string out;
        const char* rule;
    } cases[] = {
        {std::string("a\tb\x01\"", 5), "\"a\\tb\\\"\"", "tab escaped, 0x01 dropped, quote escaped"},
        {"line\nfeed\rret", "\"line\\nfeed\\rret\"", "line feed and carriage return"},
        {"back\\slash", "\"back\\\\slash\"", "backslash doubled"},
        {std::string("\x00\x1f\x7f", 3), "\"\x7f\"", "other controls dropped, DEL kept"},
        {"", "\"\"", "empty"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
         "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\"", "valid UTF-8 copied unchanged"},
        {"a\xFF"
         "b",
         "\"a\xEF\xBF\xBD"
         "b\"",
         "invalid byte becomes U+FFFD"},
        {"\xC3", "\"\xEF\xBF\xBD\"", "truncated two-byte sequence at the end"},
        {"\xE2\x82"
         "x",
         "\"\xEF\xBF\xBD"
         "x\"",
         "truncated three-byte sequence: one U+FFFD"},
        {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\"", "overlong form: each byte replaced"},
        {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"", "surrogate code point"},
        {"\xF4\x90\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"",
         "beyond U+10FFFF"},
        {"\x80\"", "\"\xEF\xBF\xBD\\\"\"", "stray continuation byte before a quote"},
        {"\xF0\x9F\x98", "\"\xEF\xBF\xBD\"", "four-byte sequence cut short"},
    };
    for (const auto& k : cases) EXPECT_EQ(jsonStr(k.in), k.out) << k.rule;
}

TEST(ApiJson, FixedPointNumbers) {
    const struct {
        double v;
        int decimals;
        const char* out;
    } cases[] = {
        {0.75, 4, "0.7500"},  {1.0 / 3, 4, "0.3333"},
        {-2.5, 4, "-2.5000"}, {12.345, 1, "12.3"},
        {0, 1, "0.0"},        {1e6, 4, "1000000.0000"},
        {7, 0, "7"},          {std::nan(""), 4, "0.0000"},
        {HUGE_VAL, 1, "0.0"},
    };
    for (const auto& k : cases) {
        FixedText<64> b;
        appendJsonFixed(b, k.v, k.decimals);
        EXPECT_EQ(b.view(), k.out) << k.v << " with " << k.decimals << " decimals";
    }
}

TEST(ApiJson, WriterPlacesCommasAndColons) {
    char scratch[512];
    Arena arena(scratch, sizeof scratch);
    BodyWriter w(&arena);
    JsonWriter j(w);
    const u8 mac[6] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
    j.beginObject()
        .key("devices")
        .beginArray()
        .beginObject()
        .key("mac")
        .mac(mac)
        .key("score")
        .fixed(0.75)
        .endObject()
        .beginObject()
        .key("n")
        .i(-3)
        .key("ok")
        .boolean(true)
        .key("x")
        .null()
        .endObject()
        .endArray()
        .key("total")
        .u(2)
        .key("empty")
        .beginArray()
        .endArray()
        .endObject();
    EXPECT_EQ(w.view(),
              "{\"devices\":[{\"mac\":\"0A:1B:2C:3D:4E:5F\",\"score\":0.7500},{\"n\":-3,\"ok\":"
              "true,\"x\":null}],\"total\":2,\"empty\":[]}");
    EXPECT_EQ(j.err(), Err::None);
}

TEST(ApiJson, WriterGrowsPastScratchAndReportsExhaustion) {
    char scratch[64];
    Arena arena(scratch, sizeof scratch);
    BodyWriter w(&arena);
    std::string chunk(1000, 'x');
    for (int i = 0; i < 100; ++i) w.append(chunk);
    EXPECT_EQ(w.size(), 100000u) << "grows into heap blocks";
    EXPECT_EQ(w.err(), Err::None);
    std::string huge(kMaxArenaBytes, 'y');
    w.append(huge);
    EXPECT_EQ(w.err(), Err::OutOfMemory) << "a request's memory is bounded";
    w.append("more");
    EXPECT_EQ(w.size(), 100000u) << "appends after a failure are ignored";
}

TEST(ApiJson, BodyFieldsAreReadAsJson) {
    const struct {
        const char* body;
        const char* name;
        bool found;
        const char* value;
        const char* rule;
    } cases[] = {
        {"{\"title\":\"x\"}", "title", true, "x", "compact"},
        {"{\"title\": \"x\"}", "title", true, "x", "white space around the colon"},
        {"{ \"a\":1, \"title\" :\n \"y\" }", "title", true, "y", "any white space"},
        {"{\"title\":\"a\\\"b\"}", "title", true, "a\"b", "escapes decoded"},
        {"{\"title\":\"\\u00e9\"}", "title", true, "\xC3\xA9", "unicode escape decoded"},
        {"{\"title\":\"\"}", "title", true, "", "empty string is present"},
        {"{\"title\":5}", "title", false, "", "number counts as absent"},
        {"{\"title\":null}", "title", false, "", "null counts as absent"},
        {"{\"other\":\"x\"}", "title", false, "", "missing field"},
        {"{\"nested\":{\"title\":\"x\"}}", "title", false, "", "only top-level members"},
        {"[\"title\",\"x\"]", "title", false, "", "body not an object"},
        {"{\"title\":\"x\"", "title", false, "", "truncated JSON"},
        {"", "title", false, "", "empty body"},
        {"{\"title\":\"\xFF\"}", "title", false, "", "invalid UTF-8 is not JSON"},
    };
    for (const auto& k : cases) {
        JsonBody body(k.body);
        std::optional<std::string_view> v = extractJsonString(body, k.name);
        EXPECT_EQ(v.has_value(), k.found) << k.rule;
        if (v) {
            EXPECT_EQ(*v, k.value) << k.rule;
        }
    }
}

TEST(ApiParams, PercentDecode) {
    const struct {
        std::string in;
        std::string out;
        const char* rule;
    } cases[] = {
        {"a%2Fb", "a/b", "escape decoded"},
        {"a%2fb", "a/b", "lower-case hex"},
        {"a%2", "a%2", "escape too close to the end"},
        {"a%zz", "a%zz", "not hexadecimal"},
        {"a+b", "a+b", "plus stays"},
        {"AA%3ABB", "AA:BB", "colon"},
        {"%", "%", "lone percent"},
    };
    for (const auto& k : cases) {
        char buf[kPercentDecodeBytes];
        EXPECT_EQ(percentDecode(k.in, buf), k.out) << k.rule;
    }
    char buf[kPercentDecodeBytes];
    std::string plain = "no-escapes";
    EXPECT_EQ(percentDecode(plain, buf).data(), plain.data()) << "text without % is not copied";
    std::string long_in;
    for (int i = 0; i < 600; ++i) long_in += "%41";
    EXPECT_EQ(percentDecode(long_in, buf), std::string(512, 'A')) << "output stops at 512 bytes";
}

TEST(ApiParams, QueryNumbersAndPaging) {
    const struct {
        const char* qs;
        u32 limit;
        u32 offset;
        const char* rule;
    } cases[] = {
        {"", 50, 0, "defaults"},
        {"limit=10&offset=20", 10, 20, "given values"},
        {"limit=9999", 500, 0, "limit clamped to 500"},
        {"limit=abc", 50, 0, "non-numeric limit"},
        {"offset=-1", 50, 0, "negative offset"},
        {"limit=4294967295", 500, 0, "largest u32, then clamped"},
        {"offset=4294967295", 50, 4294967295u, "offset is not clamped"},
        {"offset=4294967296", 50, 0, "past u32"},
        {"limit=+5", 50, 0, "sign not accepted"},
        {"limit=", 50, 0, "empty value"},
        {"limit=0", 0, 0, "zero"},
    };
    for (const auto& k : cases) {
        char scratch[256];
        Arena arena(scratch, sizeof scratch);
        QueryParams q;
        ASSERT_EQ(parseQueryString(k.qs, q, arena), Err::None) << k.rule;
        Paging p = parsePaging(q);
        EXPECT_EQ(p.limit, k.limit) << k.rule;
        EXPECT_EQ(p.offset, k.offset) << k.rule;
    }
}

TEST(ApiFeedMessages, ExactTextAndSizeLimit) {
    FixedText<kFeedMessageBytes> a;
    ASSERT_TRUE(formatAlertMessage(12, "Port scan \"x\"\\\t\n\r\x01 \xC3\xA9\xFE", "critical", a));
    EXPECT_EQ(a.view(),
              "{\"type\":\"alert\",\"data\":{\"id\":12,\"title\":\"Port scan \\\"x\\\"\\\\ "
              "\xC3\xA9\xEF\xBF\xBD\",\"severity\":\"critical\"}}")
        << "quote and backslash escaped, every control byte dropped, invalid UTF-8 replaced";

    FixedText<kFeedMessageBytes> fits;
    EXPECT_TRUE(formatAlertMessage(4294967295u, std::string(128, '"'), "critical", fits))
        << "a 128-byte title always fits";
    FixedText<kFeedMessageBytes> over;
    EXPECT_FALSE(formatAlertMessage(1, std::string(500, 't'), "low", over));

    FixedText<kFeedMessageBytes> s;
    CountersSnapshot st{};
    st.devices = 4;
    st.alerts = 5;
    st.events_processed = 100;
    st.events_per_second = 2.25f;
    st.anomalies = 6;
    st.graph_nodes = 7;
    st.graph_edges = 8;
    ASSERT_TRUE(formatStatsMessage(st, s));
    EXPECT_EQ(s.view(),
              "{\"type\":\"stats\",\"data\":{\"devices\":4,\"alerts\":5,\"events_processed\":100,"
              "\"events_per_second\":2.2,\"anomalies\":6,\"graph_nodes\":7,\"graph_edges\":8}}");
}

}  // namespace
}  // namespace tarvex
