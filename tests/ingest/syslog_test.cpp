// syslog_test.cpp: PRI handling, RFC 5424 and RFC 3164 framing, calendar.
#include "ingest/syslog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/clock.h"
#include "support/log_capture.h"

namespace tarvex {
namespace {

using ingest::syslog::Facility;
using ingest::syslog::Severity;

constexpr i64 kNow2024 = 1717243200;  // 2024-06-01T12:00:00Z

struct SyslogCase {
    const char* rule;
    std::string line;
    bool valid;
    u8 facility;
    u8 severity;
    i64 timestamp;
    std::string hostname;
    std::string app_name;
    std::string proc_id;
    std::string message;
};

void expectRecord(const SyslogCase& c, const SyslogMessage& m) {
    SCOPED_TRACE(c.rule);
    EXPECT_EQ(m.valid, c.valid);
    EXPECT_EQ(static_cast<u8>(m.facility), c.facility);
    EXPECT_EQ(static_cast<u8>(m.severity), c.severity);
    EXPECT_EQ(m.timestamp, c.timestamp);
    EXPECT_EQ(m.getHostname(), c.hostname);
    EXPECT_EQ(m.getAppName(), c.app_name);
    EXPECT_EQ(m.getProcId(), c.proc_id);
    EXPECT_EQ(m.getMessage(), c.message);
}

TEST(SyslogParse, PriorityField) {
    const std::vector<SyslogCase> cases = {
        {"PRI 0 is kernel.emergency", "<0>x", true, 0, 0, 0, "", "", "", "x"},
        {"leading zeros are read", "<013>x", true, 1, 5, 0, "", "", "", "x"},
        {"an underscore between digits is ignored", "<1_3>x", true, 1, 5, 0, "", "", "", "x"},
        {"191 is the largest PRI", "<191>x", true, 23, 7, 0, "", "", "", "x"},
        {"nothing after PRI keeps facility and severity", "<13>", false, 1, 5, 0, "", "", "", ""},
        {"256 is not an 8-bit PRI", "<256>x", false, 0, 0, 0, "", "", "", ""},
        {"192 is out of range", "<192>x", false, 0, 0, 0, "", "", "", ""},
        {"empty PRI", "<>x", false, 0, 0, 0, "", "", "", ""},
        {"a sign is not a digit", "<+13>x", false, 0, 0, 0, "", "", "", ""},
        {"leading underscore", "<_13>x", false, 0, 0, 0, "", "", "", ""},
        {"fewer than 3 bytes", "<1", false, 0, 0, 0, "", "", "", ""},
        {"no opening bracket", "13>hello", false, 0, 0, 0, "", "", "", ""},
        {"no closing bracket", "<13 hello", false, 0, 0, 0, "", "", "", ""},
        {"neither framing: whole rest is the message", "<14>hello world", true, 1, 6, 0, "", "", "",
         "hello world"},
    };
    for (const auto& c : cases) expectRecord(c, ingest::syslog::parse(c.line, kNow2024));
}

TEST(SyslogParse, RejectedLinesLogOneWarningEach) {
    struct Case {
        const char* line;
        const char* warning;
    };
    const Case cases[] = {
        {"ab", "warning(syslog): input too short (2 bytes)"},
        {"", "warning(syslog): input too short (0 bytes)"},
        {"x13>hello", "warning(syslog): missing PRI opening '<'"},
        {"<13 hello", "warning(syslog): missing PRI closing '>'"},
        {"<x>hello", "warning(syslog): invalid PRI value"},
        {"<256>hello", "warning(syslog): invalid PRI value"},
        {"<192>hello", "warning(syslog): PRI value 192 out of range (max 191)"},
        {"<255>hello", "warning(syslog): PRI value 255 out of range (max 191)"},
        {"<13>", "warning(syslog): nothing after PRI field"},
    };
    for (const auto& c : cases) {
        test::LogCapture log;
        ingest::syslog::parse(c.line, kNow2024);
        EXPECT_EQ(log.lines(), std::vector<std::string>{c.warning}) << c.line;
    }
    test::LogCapture log;
    ingest::syslog::parse("<14>Mar  5 10:20:30 host app: fine", kNow2024);
    ingest::syslog::parse("<14>anything at all", kNow2024);
    EXPECT_TRUE(log.lines().empty());
}

TEST(SyslogParse, Rfc5424Framing) {
    const std::string hdr = "<34>1 ";
    const std::vector<SyslogCase> cases = {
        {"all header fields", hdr + "2024-03-05T10:20:30Z host app 123 ID47 - hello", true, 4, 2,
         1709634030, "host", "app", "123", "hello"},
        {"positive offset is subtracted", hdr + "2024-03-05T10:20:30+01:00 h a p m - x", true, 4, 2,
         1709630430, "h", "a", "p", "x"},
        {"negative offset is added", hdr + "2024-03-05T10:20:30-02:30 h a p m - x", true, 4, 2,
         1709634030 + 9000, "h", "a", "p", "x"},
        {"a fraction of a second is skipped, the offset still applies",
         hdr + "2024-03-05T10:20:30.123+01:00 h a p m - x", true, 4, 2, 1709630430, "h", "a", "p",
         "x"},
        {"microseconds and a negative offset", hdr + "2024-03-05T10:20:30.954167-04:00 h a p m - x",
         true, 4, 2, 1709634030 + 14400, "h", "a", "p", "x"},
        {"a fraction before Z stays UTC", hdr + "2024-03-05T10:20:30.5Z h a p m - x", true, 4, 2,
         1709634030, "h", "a", "p", "x"},
        {"a fraction without zone stays UTC", hdr + "2024-03-05T10:20:30.123 h a p m - x", true, 4,
         2, 1709634030, "h", "a", "p", "x"},
        {"an offset cut short is not applied", hdr + "2024-03-05T10:20:30.1+01:0 h a p m - x", true,
         4, 2, 1709634030, "h", "a", "p", "x"},
        {"minute 60 is added as it falls", hdr + "2024-03-05T10:60:00Z h a p m - x", true, 4, 2,
         1709636400, "h", "a", "p", "x"},
        {"month 13 gives no timestamp", hdr + "2024-13-05T10:20:30Z h a p m - x", true, 4, 2, 0,
         "h", "a", "p", "x"},
        {"month 13 with an offset still gives none", hdr + "2024-13-05T10:20:30+01:00 h a p m - x",
         true, 4, 2, 0, "h", "a", "p", "x"},
        {"nil timestamp", hdr + "- h a p m - x", true, 4, 2, 0, "h", "a", "p", "x"},
        {"timestamp without zone is too short", hdr + "2024-03-05T10:20:30 h a p m - x", true, 4, 2,
         0, "h", "a", "p", "x"},
        {"nil host, app and proc id stay empty", hdr + "2024-03-05T10:20:30Z - - - - - x", true, 4,
         2, 1709634030, "", "", "", "x"},
        {"nothing after the msg id", hdr + "2024-03-05T10:20:30Z h a p m ", true, 4, 2, 1709634030,
         "h", "a", "p", ""},
        {"nil structured data then nothing", hdr + "2024-03-05T10:20:30Z h a p m -", true, 4, 2,
         1709634030, "h", "a", "p", ""},
        {"one structured-data element is skipped",
         hdr + "2024-03-05T10:20:30Z h a p m [ex@32473 iut=\"3\"] text", true, 4, 2, 1709634030,
         "h", "a", "p", "text"},
        {"a second element stays in the message",
         hdr + "2024-03-05T10:20:30Z h a p m [a x=\"1\"][b y=\"2\"] text", true, 4, 2, 1709634030,
         "h", "a", "p", "[b y=\"2\"] text"},
        {"nested brackets are counted", hdr + "2024-03-05T10:20:30Z h a p m [a [b] c] text", true,
         4, 2, 1709634030, "h", "a", "p", "text"},
        {"an escaped bracket in a quoted value does not close the element",
         hdr + "2024-03-05T10:20:30Z h a p m [ex a=\"b\\]c\"] text", true, 4, 2, 1709634030, "h",
         "a", "p", "text"},
        {"a lone bracket in a quoted value is text",
         hdr + "2024-03-05T10:20:30Z h a p m [ex a=\"x[y\"] text", true, 4, 2, 1709634030, "h", "a",
         "p", "text"},
        {"unclosed structured data leaves no message",
         hdr + "2024-03-05T10:20:30Z h a p m [a x=\"1\" text", true, 4, 2, 1709634030, "h", "a",
         "p", ""},
        {"byte-order mark is dropped", hdr + "2024-03-05T10:20:30Z h a p m - \xEF\xBB\xBFhello",
         true, 4, 2, 1709634030, "h", "a", "p", "hello"},
        {"message starts at any other byte", hdr + "2024-03-05T10:20:30Z h a p m text here", true,
         4, 2, 1709634030, "h", "a", "p", "text here"},
        {"ends after proc id: not RFC 5424, fields read stay",
         hdr + "2024-03-05T10:20:30Z host app 123", true, 4, 2, 1709634030, "host", "app", "",
         "1 2024-03-05T10:20:30Z host app 123"},
        {"two-digit version is not RFC 5424", "<34>12 2024-03-05T10:20:30Z h a p m - x", true, 4, 2,
         0, "", "", "", "12 2024-03-05T10:20:30Z h a p m - x"},
    };
    for (const auto& c : cases) expectRecord(c, ingest::syslog::parse(c.line, kNow2024));
}

TEST(SyslogParse, Rfc3164Framing) {
    const std::vector<SyslogCase> cases = {
        {"host, app, proc id and message", "<13>Mar  5 10:20:30 host sshd[123]: hello", true, 1, 5,
         1709634030, "host", "sshd", "123", "hello"},
        {"two-digit day", "<13>Mar 15 10:20:30 host app: hi", true, 1, 5, 1710498030, "host", "app",
         "", "hi"},
        {"no space after the word: no host name", "<13>Mar  5 10:20:30 hello", true, 1, 5,
         1709634030, "", "", "", "hello"},
        {"one space before a one-digit day is not BSD", "<13>Mar 5 10:20:30 host x", true, 1, 5, 0,
         "", "", "", "Mar 5 10:20:30 host x"},
        {"unknown month name is not BSD", "<13>Foo  5 10:20:30 host x: y", true, 1, 5, 0, "", "",
         "", "Foo  5 10:20:30 host x: y"},
        {"month names are case-sensitive", "<13>mar  5 10:20:30 host x: y", true, 1, 5, 0, "", "",
         "", "mar  5 10:20:30 host x: y"},
        {"day 32 is not BSD", "<13>Mar 32 10:20:30 host x: y", true, 1, 5, 0, "", "", "",
         "Mar 32 10:20:30 host x: y"},
        {"hour 25 is added as it falls", "<13>Mar  5 25:00:00 host x: y", true, 1, 5, 1709686800,
         "host", "x", "", "y"},
        {"minute 60 is added as it falls", "<13>Mar  5 10:60:00 host x: y", true, 1, 5, 1709636400,
         "host", "x", "", "y"},
        {"time separators are checked", "<13>Mar  5 10-20-30 host x: y", true, 1, 5, 0, "", "", "",
         "Mar  5 10-20-30 host x: y"},
        {"shorter than 16 bytes is not BSD", "<13>Mar  5 10:20:30", true, 1, 5, 0, "", "", "",
         "Mar  5 10:20:30"},
        {"no colon: the rest is the message", "<13>Mar  5 10:20:30 host no colon here", true, 1, 5,
         1709634030, "host", "", "", "no colon here"},
        {"bracket without closing: no proc id", "<13>Mar  5 10:20:30 host app[12: x", true, 1, 5,
         1709634030, "host", "app", "", "x"},
        {"bracket after the colon belongs to the message", "<13>Mar  5 10:20:30 host app: [x] y",
         true, 1, 5, 1709634030, "host", "app", "", "[x] y"},
        {"only one space after the colon is skipped", "<13>Mar  5 10:20:30 host a:  b", true, 1, 5,
         1709634030, "host", "a", "", " b"},
        {"no space after the colon", "<13>Mar  5 10:20:30 host a:b", true, 1, 5, 1709634030, "host",
         "a", "", "b"},
    };
    for (const auto& c : cases) expectRecord(c, ingest::syslog::parse(c.line, kNow2024));
}

TEST(SyslogParse, BsdTimestampTakesTheCurrentUtcYear) {
    // No New Year correction: a December line read on January 1 lands in the new year.
    SyslogMessage m = ingest::syslog::parse("<13>Dec 31 23:59:59 h a: m", 1735689605);
    EXPECT_EQ(m.timestamp, 1767225599);
    // A clock before 1970 counts as 1970.
    m = ingest::syslog::parse("<13>Jan  2 00:00:00 h a: m", -100);
    EXPECT_EQ(m.timestamp, 86400);
    // The wall-clock entry dates lines in the current year.
    m = ingest::syslog::parse("<13>Jan  1 00:00:00 h a: m");
    EXPECT_EQ(ingest::syslog::yearOfEpoch(m.timestamp), ingest::syslog::yearOfEpoch(wallSeconds()));
}

TEST(SyslogParse, FieldsAreCutToTheirSize) {
    std::string host(70, 'h');
    std::string app(60, 'a');
    std::string proc(40, 'p');
    std::string text(2000, 'm');
    SyslogMessage m = ingest::syslog::parse(
        "<13>1 2024-03-05T10:20:30Z " + host + " " + app + " " + proc + " id - " + text, kNow2024);
    EXPECT_EQ(m.getHostname(), host.substr(0, 64));
    EXPECT_EQ(m.getAppName(), app.substr(0, 48));
    EXPECT_EQ(m.getProcId(), proc.substr(0, 32));
    EXPECT_EQ(m.getMessage(), text.substr(0, 1024));
    m = ingest::syslog::parse("<13>" + text, kNow2024);
    EXPECT_EQ(m.message_len, 1024);
}

TEST(SyslogCalendar, EpochFromComponents) {
    struct Case {
        const char* rule;
        u16 year;
        u8 month, day, hour, minute, second;
        i64 expected;
    };
    const Case cases[] = {
        {"the epoch", 1970, 1, 1, 0, 0, 0, 0},
        {"leap day of a leap century", 2000, 3, 1, 0, 0, 0, 951868800},
        {"leap day itself", 2024, 2, 29, 12, 0, 0, 1709208000},
        {"2100 is not a leap year", 2100, 3, 1, 0, 0, 0, 4107542400},
        {"before 1970 is negative", 1900, 3, 1, 0, 0, 0, -2203891200},
        {"last second before the epoch", 1969, 12, 31, 23, 59, 59, -1},
        {"year 1", 1, 1, 1, 0, 0, 0, -62135596800},
        {"year 9999", 9999, 12, 31, 23, 59, 59, 253402300799},
        {"day 0 is the day before the 1st", 2024, 3, 0, 0, 0, 0, 1709164800},
        {"hour 25 runs into the next day", 2024, 3, 5, 25, 0, 0, 1709686800},
        {"month 13 counts a full year of months", 2023, 13, 1, 0, 0, 0, 1704067200},
        {"month 15 does not read past the month table", 2023, 15, 1, 0, 0, 0, 1704067200},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            ingest::syslog::epochFromComponents(c.year, c.month, c.day, c.hour, c.minute, c.second),
            c.expected)
            << c.rule;
    }
}

TEST(SyslogCalendar, YearOfEpoch) {
    struct Case {
        i64 seconds;
        u16 year;
    };
    const Case cases[] = {
        {0, 1970},          {-5, 1970},         {1709634030, 2024},
        {1735689599, 2024}, {1735689600, 2025}, {951782400, 2000},
        {4102444799, 2099}, {4102444800, 2100}, {253402300799, 9999},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ingest::syslog::yearOfEpoch(c.seconds), c.year) << c.seconds;
}

}  // namespace
}  // namespace tarvex
