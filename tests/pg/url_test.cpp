// Connection URLs and parameter text forms: what a DATABASE_URL means, and
// which URLs are refused under which error name.
#include "pg/url.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "pg/param.h"

namespace tarvex {
namespace {

TEST(PgUrl, ComponentsDefaultsAndDecoding) {
    struct Case {
        const char* url;
        const char* user;
        const char* password;
        const char* host;
        u16 port;
        const char* database;
        PgSslMode sslmode;
        u32 user_timeout_ms;
        const char* rule;
    };
    const Case cases[] = {
        {"postgresql://siem:pw@db.lan:5433/tarvex", "siem", "pw", "db.lan", 5433, "tarvex",
         PgSslMode::disable, 10000, "every component"},
        {"postgres://siem@db.lan/tarvex", "siem", "", "db.lan", 5432, "tarvex", PgSslMode::disable,
         10000, "postgres scheme, default port, no password"},
        {"postgresql://", "", "", "127.0.0.1", 5432, "", PgSslMode::disable, 10000,
         "empty authority: default host and port"},
        {"postgresql://:6000/x", "", "", "127.0.0.1", 6000, "x", PgSslMode::disable, 10000,
         "port without host keeps the default host"},
        {"postgresql://u%40corp:p%3Aw%2F%25d@h/d%20b", "u@corp", "p:w/%d", "h", 5432, "d b",
         PgSslMode::disable, 10000, "user, password and database percent-decoded"},
        {"postgresql://u:a@b@h/d", "u", "a@b", "h", 5432, "d", PgSslMode::disable, 10000,
         "user information ends at the last @"},
        {"postgresql://u:p%2bq+r@h/d", "u", "p+q+r", "h", 5432, "d", PgSslMode::disable, 10000,
         "plus is literal, %2b decodes in either case"},
        {"postgresql://u@%2Fvar%2Frun%2Fpostgresql:5433/d", "u", "", "/var/run/postgresql", 5433,
         "d", PgSslMode::disable, 10000, "encoded host starting with / is a socket directory"},
        {"postgresql://u@[::1]:5434/d", "u", "", "::1", 5434, "d", PgSslMode::disable, 10000,
         "bracketed IPv6 host"},
        {"postgresql://u@[fe80::1]/d", "u", "", "fe80::1", 5432, "d", PgSslMode::disable, 10000,
         "bracketed IPv6 host, default port"},
        {"postgresql://h/d?sslmode=require", "", "", "h", 5432, "d", PgSslMode::require, 10000,
         "sslmode require"},
        {"postgresql://h/d?sslmode=verify-full&tcp_user_timeout=2500", "", "", "h", 5432, "d",
         PgSslMode::verify_full, 2500, "verify-full and a user timeout"},
        {"postgresql://h/d?sslmode=require&sslmode=disable", "", "", "h", 5432, "d",
         PgSslMode::disable, 10000, "a repeated parameter: the last wins"},
        {"postgresql://h/d?tcp_user_timeout=0", "", "", "h", 5432, "d", PgSslMode::disable, 0,
         "zero user timeout means the system default"},
        {"postgresql://h?sslmode=require", "", "", "h", 5432, "", PgSslMode::require, 10000,
         "query without a path"},
        {"postgresql://h/d?&sslmode=require&", "", "", "h", 5432, "d", PgSslMode::require, 10000,
         "empty parameter pairs are ignored"},
    };
    for (const auto& c : cases) {
        Result<PgConnOptions> r = parsePgUrl(c.url);
        ASSERT_TRUE(r.ok()) << c.rule << ": " << c.url << " -> " << errName(r.err);
        const PgConnOptions& o = r.value;
        EXPECT_EQ(o.user, c.user) << c.rule;
        EXPECT_EQ(o.password, c.password) << c.rule;
        EXPECT_EQ(o.host, c.host) << c.rule;
        EXPECT_EQ(o.port, c.port) << c.rule;
        EXPECT_EQ(o.database, c.database) << c.rule;
        EXPECT_EQ(o.sslmode, c.sslmode) << c.rule;
        EXPECT_EQ(o.tcp_user_timeout_ms, c.user_timeout_ms) << c.rule;
        EXPECT_EQ(o.unixSocket(), c.host[0] == '/') << c.rule;
    }
}

TEST(PgUrl, RefusedUrlsNameTheirError) {
    struct Case {
        const char* url;
        Err err;
        const char* rule;
    };
    const Case cases[] = {
        {"mysql://u@h/d", Err::InvalidUriScheme, "foreign scheme"},
        {"postgresql:/h/d", Err::InvalidUriScheme, "scheme without //"},
        {"POSTGRESQL://h/d", Err::InvalidUriScheme, "scheme is case-sensitive"},
        {"", Err::InvalidUriScheme, "empty URL"},
        {"h:5432/d", Err::InvalidUriScheme, "no scheme at all"},
        {"postgresql://h/d?sslmode=prefer", Err::UnsupportedSSLModeValue, "prefer is not offered"},
        {"postgresql://h/d?sslmode=verify-ca", Err::UnsupportedSSLModeValue, "verify-ca"},
        {"postgresql://h/d?sslmode=", Err::UnsupportedSSLModeValue, "empty sslmode"},
        {"postgresql://h/d?sslmode=REQUIRE", Err::UnsupportedSSLModeValue, "values are exact"},
        {"postgresql://h/d?application_name=x", Err::UnsupportedConnectionParam,
         "application_name"},
        {"postgresql://h/d?sslrootcert=/x", Err::UnsupportedConnectionParam, "sslrootcert"},
        {"postgresql://h/d?sslmode=require&options=-c", Err::UnsupportedConnectionParam,
         "unknown parameter after a valid one"},
        {"postgresql://h:0/d", Err::InvalidPort, "port zero"},
        {"postgresql://h:65536/d", Err::InvalidPort, "port above 65535"},
        {"postgresql://h:54a2/d", Err::InvalidPort, "port with a letter"},
        {"postgresql://h:/d", Err::InvalidPort, "empty port"},
        {"postgresql://h:+5432/d", Err::InvalidPort, "signed port"},
        {"postgresql://h:5_432/d", Err::InvalidPort, "port with separator"},
        {"postgresql://[::1:5432/d", Err::InvalidCharacter, "unclosed IPv6 bracket"},
        {"postgresql://[::1]x/d", Err::InvalidCharacter, "junk after IPv6 bracket"},
        {"postgresql://u:p%4@h/d", Err::InvalidCharacter, "truncated escape in password"},
        {"postgresql://u%zz@h/d", Err::InvalidCharacter, "non-hex escape in user"},
        {"postgresql://h/d%", Err::InvalidCharacter, "trailing % in database"},
        {"postgresql://h/d?tcp_user_timeout=soon", Err::InvalidCharacter, "timeout not a number"},
        {"postgresql://h/d?tcp_user_timeout=-1", Err::InvalidCharacter, "negative timeout"},
        {"postgresql://h/d?tcp_user_timeout=4294967296", Err::Overflow, "timeout beyond 32 bits"},
    };
    for (const auto& c : cases) {
        Result<PgConnOptions> r = parsePgUrl(c.url);
        EXPECT_EQ(r.err, c.err) << c.rule << ": " << c.url << " gave " << errName(r.err);
    }
}

TEST(PgParam, TextFormsSentToTheServer) {
    struct Case {
        PgParam param;
        bool null;
        const char* text;
        const char* rule;
    };
    const Case cases[] = {
        {PgParam(nullptr), true, "", "nullptr is NULL"},
        {PgParam::textOrNull(""), true, "", "empty optional text is NULL"},
        {PgParam::textOrNull("10.0.0.1"), false, "10.0.0.1", "optional text with content"},
        {PgParam(std::string_view("")), false, "", "empty plain text stays an empty string"},
        {PgParam("AA:BB:CC:DD:EE:FF"), false, "AA:BB:CC:DD:EE:FF", "MAC text unchanged"},
        {PgParam(std::numeric_limits<i64>::min()), false, "-9223372036854775808", "i64 min"},
        {PgParam(std::numeric_limits<u64>::max()), false, "18446744073709551615", "u64 max"},
        {PgParam(static_cast<std::int16_t>(-5)), false, "-5", "smallint-sized value"},
        {PgParam(0.1f), false, "0.1", "f32 in its shortest exact form, not as a double"},
        {PgParam(1733650000.25), false, "1733650000.25", "f64 epoch seconds"},
        {PgParam(0.0f), false, "0", "zero float"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.param.isNull(), c.null) << c.rule;
        EXPECT_EQ(c.param.text(), c.text) << c.rule;
    }
}

}  // namespace
}  // namespace tarvex
