// syslog_test.cpp: PRI handling, RFC 5424 and RFC 3164 framing, calendar.
#include "ingest/syslog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/clock.h"
#include "ingest/record_text.h"
#include "support/log_capture.h"

namespace tarvex {
namespace {

namespace sl = ingest::syslog;
constexpr i64 kNow2024 = 1717243200;   // 2024-06-01T12:00:00Z
constexpr i64 k20240305 = 1709634030;  // 2024-03-05T10:20:30Z

TEST(SyslogParse, PriorityFieldAndItsWarnings) {
    struct Case {
        const char* line;
        bool valid;
        int facility, severity;
        const char* warning;  // "" when nothing may be logged
    };
    const Case cases[] = {
        {"<0>x", true, 0, 0, ""},    // kernel.emergency
        {"<013>x", true, 1, 5, ""},  // leading zeros are read
        {"<1_3>x", true, 1, 5, ""},  // an underscore between digits is ignored
        {"<191>x", true, 23, 7, ""},
        {"<14>hello world", true, 1, 6, ""},  // neither framing still valid
        {"<13>", false, 1, 5, "warning(syslog): nothing after PRI field"},
        {"ab", false, 0, 0, "warning(syslog): input too short (2 bytes)"},
        {"13>hello", false, 0, 0, "warning(syslog): missing PRI opening '<'"},
        {"<13 hello", false, 0, 0, "warning(syslog): missing PRI closing '>'"},
        {"<>x", false, 0, 0, "warning(syslog): invalid PRI value"},
        {"<256>x", false, 0, 0, "warning(syslog): invalid PRI value"},
        {"<+13>x", false, 0, 0, "warning(syslog): invalid PRI value"},  // digits only
        {"<_13>x", false, 0, 0, "warning(syslog): invalid PRI value"},
        {"<192>x", false, 0, 0, "warning(syslog): PRI value 192 out of range (max 191)"},
    };
    for (const auto& c : cases) {
        test::LogCapture log;
        SyslogMessage m = sl::parse(c.line, kNow2024);
        EXPECT_EQ(m.valid, c.valid) << c.line;
        EXPECT_EQ(static_cast<int>(m.facility), c.facility) << c.line;
        EXPECT_EQ(static_cast<int>(m.severity), c.severity) << c.line;
        std::vector<std::string> want;
        if (*c.warning) want.push_back(c.warning);
        EXPECT_EQ(log.lines(), want) << c.line;
    }
    EXPECT_EQ(sl::parse("<0>x", kNow2024).getMessage(), "x");
}

TEST(SyslogParse, Rfc5424Header) {
    SyslogMessage m = sl::parse("<34>1 2024-03-05T10:20:30Z host app 123 ID47 - hello", kNow2024);
    EXPECT_TRUE(m.valid);
    EXPECT_EQ(m.timestamp, k20240305);
    EXPECT_EQ(m.getHostname(), "host");
    EXPECT_EQ(m.getAppName(), "app");
    EXPECT_EQ(m.getProcId(), "123");
    EXPECT_EQ(m.getMessage(), "hello");

    m = sl::parse("<34>1 2024-03-05T10:20:30Z - - - - - x", kNow2024);  // nil values stay empty
    EXPECT_EQ(m.hostname_len + m.app_name_len + m.proc_id_len, 0);

    // Ends right after the proc id: not RFC 5424, and RFC 3164 cannot start
    // with a digit, so the rest is the message; fields read so far stay.
    m = sl::parse("<34>1 2024-03-05T10:20:30Z host app 123", kNow2024);
    EXPECT_TRUE(m.valid);
    EXPECT_EQ(m.timestamp, k20240305);
    EXPECT_EQ(m.getHostname(), "host");
    EXPECT_EQ(m.getAppName(), "app");
    EXPECT_EQ(m.proc_id_len, 0);
    EXPECT_EQ(m.getMessage(), "1 2024-03-05T10:20:30Z host app 123");

    m = sl::parse("<34>12 2024-03-05T10:20:30Z h a p m - x", kNow2024);  // two-digit version
    EXPECT_EQ(m.timestamp, 0);
    EXPECT_EQ(m.getMessage(), "12 2024-03-05T10:20:30Z h a p m - x");
}

TEST(SyslogParse, Rfc5424Timestamp) {
    struct Case {
        const char* rule;
        const char* token;
        i64 expected;
    };
    const Case cases[] = {
        {"UTC", "2024-03-05T10:20:30Z", k20240305},
        {"positive offset is subtracted", "2024-03-05T10:20:30+01:00", k20240305 - 3600},
        {"negative offset is added", "2024-03-05T10:20:30-02:30", k20240305 + 9000},
        {"fraction skipped, offset kept", "2024-03-05T10:20:30.123+01:00", k20240305 - 3600},
        {"microseconds", "2024-03-05T10:20:30.954167-04:00", k20240305 + 14400},
        {"fraction before Z", "2024-03-05T10:20:30.5Z", k20240305},
        {"fraction without zone", "2024-03-05T10:20:30.123", k20240305},
        {"offset cut short", "2024-03-05T10:20:30.1+01:0", k20240305},
        {"minute 60 is added as it falls", "2024-03-05T10:60:00Z", k20240305 + 2370},
        {"month 13 gives no timestamp", "2024-13-05T10:20:30Z", 0},
        {"no timestamp stays 0 despite an offset", "2024-13-05T10:20:30+01:00", 0},
        {"nil value", "-", 0},
        {"19 bytes without zone", "2024-03-05T10:20:30", 0},
        {"wrong separator", "2024/03/05T10:20:30Z", 0},
    };
    for (const auto& c : cases) {
        std::string line = std::string("<34>1 ") + c.token + " h a p m - x";
        EXPECT_EQ(sl::parse(line, kNow2024).timestamp, c.expected) << c.rule;
    }
}

TEST(SyslogParse, Rfc5424StructuredDataAndMessage) {
    struct Case {
        const char* rule;
        const char* tail;  // text after the msg id and its space
        const char* message;
    };
    const Case cases[] = {
        {"nothing after the msg id", "", ""},
        {"nil structured data then nothing", "-", ""},
        {"nil structured data", "- text", "text"},
        {"one element is skipped", "[ex@32473 iut=\"3\"] text", "text"},
        {"a second element stays", "[a x=\"1\"][b y=\"2\"] text", "[b y=\"2\"] text"},
        {"nested brackets are counted", "[a [b] c] text", "text"},
        {"escaped bracket in a quoted value", "[ex a=\"b\\]c\"] text", "text"},
        {"lone bracket in a quoted value", "[ex a=\"x[y\"] text", "text"},
        {"unclosed element: no message", "[a x=\"1\" text", ""},
        {"byte-order mark is dropped", "- \xEF\xBB\xBFhello", "hello"},
        {"any other byte starts the message", "text here", "text here"},
    };
    for (const auto& c : cases) {
        SyslogMessage m = sl::parse(std::string("<34>1 - h a p m ") + c.tail, kNow2024);
        EXPECT_EQ(m.getMessage(), c.message) << c.rule;
        EXPECT_EQ(m.getProcId(), "p") << c.rule;
    }
}

TEST(SyslogParse, Rfc3164Framing) {
    const std::string t = "valid pri=13 ts=" + std::to_string(k20240305);
    struct Case {
        const char* rule;
        std::string rest;  // text after "<13>"
        std::string record;
    };
    const Case cases[] = {
        {"all parts", "Mar  5 10:20:30 host sshd[123]: hello",
         t + " host=host app=sshd proc=123 msg=hello"},
        {"two-digit day", "Mar 15 10:20:30 h a: b",
         "valid pri=13 ts=1710498030 host=h app=a msg=b"},
        {"no space after the word: no host", "Mar  5 10:20:30 hello", t + " msg=hello"},
        {"hour 25 is added", "Mar  5 25:00:00 h a: b",
         "valid pri=13 ts=1709686800 host=h app=a msg=b"},
        {"no colon: rest is the message", "Mar  5 10:20:30 h no colon", t + " host=h msg=no colon"},
        {"unclosed proc id", "Mar  5 10:20:30 h app[12: x", t + " host=h app=app msg=x"},
        {"bracket after the colon", "Mar  5 10:20:30 h app: [x] y",
         t + " host=h app=app msg=[x] y"},
        {"one space skipped after ':'", "Mar  5 10:20:30 h a:  b", t + " host=h app=a msg= b"},
        // Not BSD framing: the whole text after the PRI is the message.
        {"one space before a one-digit day", "Mar 5 10:20:30 h x",
         "valid pri=13 msg=Mar 5 10:20:30 h x"},
        {"unknown month", "Foo  5 10:20:30 h x", "valid pri=13 msg=Foo  5 10:20:30 h x"},
        {"month names are case-sensitive", "mar  5 10:20:30 h x",
         "valid pri=13 msg=mar  5 10:20:30 h x"},
        {"day 32", "Mar 32 10:20:30 h x", "valid pri=13 msg=Mar 32 10:20:30 h x"},
        {"time separators", "Mar  5 10-20-30 h x", "valid pri=13 msg=Mar  5 10-20-30 h x"},
        {"shorter than 16 bytes", "Mar  5 10:20:30", "valid pri=13 msg=Mar  5 10:20:30"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(test::describe(sl::parse("<13>" + c.rest, kNow2024)), c.record) << c.rule;
    }
}

TEST(SyslogParse, BsdTimestampTakesTheCurrentUtcYear) {
    // No New Year correction: a December line read on January 1 lands in the new year.
    EXPECT_EQ(sl::parse("<13>Dec 31 23:59:59 h a: m", 1735689605).timestamp, 1767225599);
    // A clock before 1970 counts as 1970.
    EXPECT_EQ(sl::parse("<13>Jan  2 00:00:00 h a: m", -100).timestamp, 86400);
    // The wall-clock entry dates lines in the current year.
    i64 ts = sl::parse("<13>Jan  1 00:00:00 h a: m").timestamp;
    EXPECT_EQ(sl::yearOfEpoch(ts), sl::yearOfEpoch(wallSeconds()));
}

TEST(SyslogParse, FieldsAreCutToTheirSize) {
    std::string host(70, 'h'), app(60, 'a'), proc(40, 'p'), text(2000, 'm');
    SyslogMessage m = sl::parse(
        "<13>1 2024-03-05T10:20:30Z " + host + " " + app + " " + proc + " id - " + text, kNow2024);
    EXPECT_EQ(m.getHostname(), host.substr(0, 64));
    EXPECT_EQ(m.getAppName(), app.substr(0, 48));
    EXPECT_EQ(m.getProcId(), proc.substr(0, 32));
    EXPECT_EQ(m.getMessage(), text.substr(0, 1024));
}

TEST(SyslogCalendar, EpochFromComponentsAndYear) {
    struct Case {
        const char* rule;
        u16 year;
        u8 month, day, hour, minute, second;
        i64 expected;
    };
    const Case cases[] = {
        {"the epoch", 1970, 1, 1, 0, 0, 0, 0},
        {"leap century", 2000, 3, 1, 0, 0, 0, 951868800},
        {"leap day", 2024, 2, 29, 12, 0, 0, 1709208000},
        {"2100 is not leap", 2100, 3, 1, 0, 0, 0, 4107542400},
        {"before 1970", 1900, 3, 1, 0, 0, 0, -2203891200},
        {"last second before 1970", 1969, 12, 31, 23, 59, 59, -1},
        {"year 1", 1, 1, 1, 0, 0, 0, -62135596800},
        {"year 9999", 9999, 12, 31, 23, 59, 59, 253402300799},
        {"day 0", 2024, 3, 0, 0, 0, 0, 1709164800},
        {"month 13 counts twelve months", 2023, 13, 1, 0, 0, 0, 1704067200},
        {"month 15 stays inside the table", 2023, 15, 1, 0, 0, 0, 1704067200},
    };
    for (const auto& c : cases) {
        i64 t = sl::epochFromComponents(c.year, c.month, c.day, c.hour, c.minute, c.second);
        EXPECT_EQ(t, c.expected) << c.rule;
        if (c.expected >= 0 && c.month <= 12 && c.day >= 1) {
            EXPECT_EQ(sl::yearOfEpoch(t), c.year) << c.rule;
        }
    }
    EXPECT_EQ(sl::yearOfEpoch(-5), 1970);
    EXPECT_EQ(sl::yearOfEpoch(1735689599), 2024);
    EXPECT_EQ(sl::yearOfEpoch(1735689600), 2025);
}

}  // namespace
}  // namespace tarvex
