// Threat list reading: the three formats, type inference, normal forms and
// the lines each refuses.
#include "intel/indicator_feed.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "intel/indicator_value.h"

namespace tarvex {
namespace {

struct Got {
    FeedResult r;
    std::vector<Indicator> items;
};

Got parse(std::string_view text, FeedDefaults d = {}) {
    Got g;
    g.items.resize(64);
    g.r = parseIndicatorFeed(text, d, g.items.data(), 64);
    g.items.resize(g.r.count);
    return g;
}

TEST(IndicatorValue, InferenceAndNormalForms) {
    struct Case {
        std::string_view in;
        std::optional<IndicatorType> type;
        std::string_view normal;
        const char* rule;
    } cases[] = {
        {"203.0.113.9", IndicatorType::ip, "203.0.113.9", "IPv4"},
        {"2001:DB8:0:0::1", IndicatorType::ip, "2001:db8::1", "IPv6, canonical"},
        {"::ffff:198.51.100.7", IndicatorType::ip, "198.51.100.7", "IPv4-mapped is IPv4"},
        {"10.1.2.3/8", IndicatorType::cidr, "10.0.0.0/8", "host bits cleared"},
        {"2001:db8::/32", IndicatorType::cidr, "2001:db8::/32", "IPv6 network"},
        {"0.0.0.0/0", IndicatorType::cidr, "0.0.0.0/0", "everything"},
        {"EVIL.Example.", IndicatorType::domain, "evil.example", "lower case, no root dot"},
        {"*.ads.example", IndicatorType::domain, "ads.example", "wildcard label dropped"},
        {"HTTP://Bad.Example/Path?Q=1", IndicatorType::url, "bad.example/Path?Q=1",
         "scheme dropped, host lower-cased, path kept"},
        {"D41D8CD98F00B204E9800998ECF8427E", IndicatorType::hash_md5,
         "d41d8cd98f00b204e9800998ecf8427e", "MD5"},
        {std::string_view("da39a3ee5e6b4b0d3255bfef95601890afd80709"), IndicatorType::hash_sha1,
         "da39a3ee5e6b4b0d3255bfef95601890afd80709", "SHA-1"},
        {"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
         IndicatorType::hash_sha256,
         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", "SHA-256"},
        {"Bad.Example/dl/x.exe", IndicatorType::url, "bad.example/dl/x.exe",
         "a host and a path is a URL"},
        {"Phish@Evil.Example", IndicatorType::email, "phish@evil.example", "e-mail"},
        {"256.1.1.1", std::nullopt, "", "octet over 255"},
        {"1.2.3", std::nullopt, "", "three groups"},
        {"10.0.0.0/33", std::nullopt, "", "prefix too long"},
        {"localhost", std::nullopt, "", "one label is no domain"},
        {"1.2.3.4.5", std::nullopt, "", "five groups, numeric last label"},
        {"bad_-.example-", std::nullopt, "", "label ends with '-'"},
        {"a@b@c.example", std::nullopt, "", "two @"},
        {"abcd1234", std::nullopt, "", "short hex is nothing"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(inferIndicatorType(c.in), c.type) << c.rule;
        if (!c.type) continue;
        char out[256];
        u16 len = 0;
        ASSERT_TRUE(normalizeIndicator(*c.type, c.in, out, len)) << c.rule;
        EXPECT_EQ(std::string_view(out, len), c.normal) << c.rule;
    }
    char out[256];
    u16 len;
    EXPECT_FALSE(
        normalizeIndicator(IndicatorType::hash_sha1, "d41d8cd98f00b204e9800998ecf8427e", out, len))
        << "a hash must have its type's length";
    EXPECT_FALSE(normalizeIndicator(IndicatorType::ip, "10.0.0.0/8", out, len))
        << "a network is no address";
}

TEST(IndicatorFeed, FormatIsToldByTheFirstLines) {
    EXPECT_EQ(detectFeedFormat("#separator \\x09\n#fields\tindicator\tindicator_type\n"),
              FeedFormat::zeek);
    EXPECT_EQ(detectFeedFormat("# exported\n\ntype,value,severity\nip,1.2.3.4,high\n"),
              FeedFormat::csv);
    EXPECT_EQ(detectFeedFormat("\"Value\",\"Source\"\n"), FeedFormat::csv);
    EXPECT_EQ(detectFeedFormat("; Spamhaus DROP\n1.10.16.0/20 ; SBL256894\n"), FeedFormat::plain);
    EXPECT_EQ(detectFeedFormat("1.2.3.4,5.6.7.8\n"), FeedFormat::plain)
        << "commas without a value column are not a header";
    EXPECT_EQ(detectFeedFormat(""), FeedFormat::plain);
}

TEST(IndicatorFeed, PlainListsInferTypesAndSkipComments) {
    Got g = parse(
        "# abuse list\r\n"
        "; another comment\n"
        "198.51.100.7\r\n"
        "1.10.16.0/20 ; SBL256894\n"
        "beacon.evil.example # seen 2026-01-02\n"
        "0.0.0.0 ads.example\n"
        "http://bad.example/x#frag\n"
        "\n"
        "   \t\n"
        "two words\n"
        "999.1.1.1\n",
        FeedDefaults{"abuse", IndicatorSeverity::high});
    ASSERT_EQ(g.items.size(), 5u);
    const std::pair<IndicatorType, std::string_view> want[] = {
        {IndicatorType::ip, "198.51.100.7"},
        {IndicatorType::cidr, "1.10.16.0/20"},
        {IndicatorType::domain, "beacon.evil.example"},
        {IndicatorType::domain, "ads.example"},
        {IndicatorType::url, "bad.example/x#frag"},
    };
    for (size_t i = 0; i < g.items.size(); ++i) {
        EXPECT_EQ(g.items[i].indicator_type, want[i].first) << i;
        EXPECT_EQ(g.items[i].getValue(), want[i].second) << i;
        EXPECT_EQ(g.items[i].getSource(), "abuse");
        EXPECT_EQ(g.items[i].severity, IndicatorSeverity::high);
        EXPECT_EQ(g.items[i].expiry, 0);
    }
    ASSERT_EQ(g.r.rejected, 2u);
    ASSERT_EQ(g.r.kept, 2u);
    EXPECT_EQ(g.r.first_rejected[0].line, 10u);
    EXPECT_EQ(g.r.first_rejected[0].text, "two words");
    EXPECT_EQ(g.r.first_rejected[1].line, 11u);
}

TEST(IndicatorFeed, CsvColumnsAndTheirRefusals) {
    Got g = parse(
        "Type, Value, Severity, Source, Expiry, Note\n"
        "ip,203.0.113.9,critical,feodo,1900000000,c2\n"
        ",evil.example,,,,\n"
        "cidr,\"10.0.0.0/8\",low,\"my, list\",2027-01-31,\n"
        "hash_sha256,E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855,HIGH,x,"
        "2027-01-31T12:00:00Z\n"
        "ipv4,1.2.3.4,high,x,\n"
        "ip,1.2.3.4,urgent,x,\n"
        "ip,1.2.3.4,high,x,next week\n"
        "domain,1.2.3.4,high,x,\n"
        "ip,\"1.2.3.4,high\n"
        ",,high,x,\n");
    ASSERT_EQ(g.items.size(), 4u);
    EXPECT_EQ(g.items[0].indicator_type, IndicatorType::ip);
    EXPECT_EQ(g.items[0].severity, IndicatorSeverity::critical);
    EXPECT_EQ(g.items[0].getSource(), "feodo");
    EXPECT_EQ(g.items[0].expiry, 1900000000);
    EXPECT_EQ(g.items[1].indicator_type, IndicatorType::domain) << "an empty type is inferred";
    EXPECT_EQ(g.items[1].severity, IndicatorSeverity::medium);
    EXPECT_EQ(g.items[1].getSource(), "import");
    EXPECT_EQ(g.items[2].getSource(), "my, list") << "a quoted field keeps its comma";
    EXPECT_EQ(g.items[2].expiry, 1801353600) << "2027-01-31 at midnight UTC";
    EXPECT_EQ(g.items[3].getValue(),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(g.items[3].expiry, 1801396800);
    const char* reasons[] = {"unknown type",       "unknown severity",
                             "unreadable expiry",  "value does not match its type",
                             "unterminated quote", "empty value"};
    ASSERT_EQ(g.r.rejected, std::size(reasons));
    for (size_t i = 0; i < std::size(reasons); ++i) {
        EXPECT_EQ(g.r.first_rejected[i].reason, reasons[i]);
        EXPECT_EQ(g.r.first_rejected[i].line, 6u + i);
    }
}

TEST(IndicatorFeed, ZeekIntelColumnsByTheirNames) {
    Got g = parse(
        "#separator \\x09\n"
        "#fields\tmeta.desc\tindicator_type\tindicator\tmeta.source\n"
        "c2\tIntel::ADDR\t198.51.100.7\tfeodo\n"
        "-\tIntel::SUBNET\t2001:db8::/48\t-\n"
        "x\tIntel::DOMAIN\tEvil.Example\tmine\n"
        "x\tIntel::URL\tbad.example/dl.exe\tmine\n"
        "x\tIntel::FILE_HASH\tda39a3ee5e6b4b0d3255bfef95601890afd80709\tmine\n"
        "x\tIntel::EMAIL\tphish@evil.example\tmine\n"
        "x\tIntel::SOFTWARE\tcurl\tmine\n"
        "x\tIntel::FILE_HASH\tabc\tmine\n"
        "x\tIntel::ADDR\n"
        "\n");
    ASSERT_EQ(g.items.size(), 6u);
    const IndicatorType want[] = {IndicatorType::ip,        IndicatorType::cidr,
                                  IndicatorType::domain,    IndicatorType::url,
                                  IndicatorType::hash_sha1, IndicatorType::email};
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(g.items[i].indicator_type, want[i]) << i;
    EXPECT_EQ(g.items[0].getSource(), "feodo");
    EXPECT_EQ(g.items[1].getSource(), "import") << "'-' is an empty field";
    EXPECT_EQ(g.items[2].getValue(), "evil.example");
    ASSERT_EQ(g.r.rejected, 3u);
    EXPECT_EQ(g.r.first_rejected[0].reason, "unsupported indicator_type");
    EXPECT_EQ(g.r.first_rejected[1].reason, "value does not match its type");
    EXPECT_EQ(g.r.first_rejected[2].reason, "empty value");

    Got headless = parse("#fields\tindicator\n1.2.3.4\n");
    EXPECT_EQ(headless.r.count, 0u);
    EXPECT_EQ(headless.r.rejected, 1u) << "without an indicator_type column nothing is read";
}

TEST(IndicatorFeed, RecordsPastTheArrayAreRejectedAndFirstRejectionsKept) {
    std::string text;
    for (int i = 0; i < 30; ++i) text += "bad line " + std::to_string(i) + "\n";
    for (int i = 0; i < 5; ++i) text += "10.0.0." + std::to_string(i) + "\n";
    std::vector<Indicator> items(3);
    FeedResult r = parseIndicatorFeed(text, {}, items.data(), 3);
    EXPECT_EQ(r.count, 3u);
    EXPECT_EQ(r.rejected, 32u);
    EXPECT_EQ(r.kept, FeedResult::kKeptRejections);
    EXPECT_EQ(r.first_rejected[9].line, 10u);
}

}  // namespace
}  // namespace tarvex
