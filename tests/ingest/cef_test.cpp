// cef_test.cpp: CEF header, extensions, value ends and timestamps.
#include "ingest/cef.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"

namespace tarvex {
namespace {

namespace cef = ingest::cef;

TEST(CefParse, SyslogFramedUniFiRecord) {
    test::LogCapture log;
    CefEvent ev = cef::parse(
        "<134>Mar  5 10:20:30 gw CEF:0|Ubiquiti|UniFi Network|8.0|1001|Threat detected|7|"
        "src=192.168.1.20 dst=203.0.113.9 spt=51234 dpt=443 proto=TCP msg=Blocked by IPS "
        "UNIFIcategory=Security UNIFIsubCategory=Intrusion Prevention "
        "UNIFIclientMac=a4:83:e7:12:34:56 UNIFIutcTime=1709634030123");
    EXPECT_TRUE(ev.valid);
    EXPECT_EQ(ev.version, 0);
    EXPECT_EQ(ev.getDeviceVendor(), "Ubiquiti");
    EXPECT_EQ(ev.getDeviceProduct(), "UniFi Network");
    EXPECT_EQ(ev.getDeviceVersion(), "8.0");
    EXPECT_EQ(ev.getSignatureId(), "1001");
    EXPECT_EQ(ev.getName(), "Threat detected");
    EXPECT_EQ(ev.severity, 7);
    EXPECT_EQ(ev.getSrcIp(), "192.168.1.20");
    EXPECT_EQ(ev.getDstIp(), "203.0.113.9");
    EXPECT_EQ(ev.src_port, 51234);
    EXPECT_EQ(ev.dst_port, 443);
    EXPECT_EQ(ev.getProtocol(), "TCP");
    EXPECT_EQ(ev.getMessage(), "Blocked by IPS");
    EXPECT_EQ(ev.getUnifiCategory(), "Security");
    EXPECT_EQ(ev.getUnifiSubcategory(), "Intrusion Prevention");
    EXPECT_EQ(ev.getClientMac(), "a4:83:e7:12:34:56");
    EXPECT_EQ(ev.timestamp, 1709634030);
    EXPECT_TRUE(log.lines().empty());
}

TEST(CefParse, Header) {
    struct Case {
        const char* rule;
        std::string line;
        bool valid;
        const char* warning;  // "" when nothing may be logged
        u8 version;
        std::string vendor;
        std::string name;
        u8 severity;
    };
    const std::vector<Case> cases = {
        {"no pipe after the severity: incomplete, silent", "CEF:0|a|b|c|d|e|7", false, "", 0, "a",
         "e", 0},
        {"five fields only: incomplete, silent", "CEF:0|a|b|c|d|e", false, "", 0, "a", "", 0},
        {"empty extension", "CEF:0|a|b|c|d|e|7|", true, "", 0, "a", "e", 7},
        {"version up to 255", "CEF:255|a|b|c|d|e|1|", true, "", 255, "a", "e", 1},
        {"non-numeric version", "CEF:x|a|b|c|d|e|7|", false, "warning(cef): invalid CEF version", 0,
         "", "", 0},
        {"space before the version", "CEF: 0|a|b|c|d|e|7|", false,
         "warning(cef): invalid CEF version", 0, "", "", 0},
        {"version 256", "CEF:256|a|b|c|d|e|7|", false, "warning(cef): invalid CEF version", 0, "",
         "", 0},
        {"empty version", "CEF:|a|b|c|d|e|7|", false, "warning(cef): invalid CEF version", 0, "",
         "", 0},
        {"no pipe after the version", "CEF:0", false, "warning(cef): missing pipe after version", 0,
         "", "", 0},
        {"no CEF: anywhere", "0|a|b|c|d|e|7|", false,
         "warning(cef): input does not contain CEF header", 0, "", "", 0},
        {"lower-case prefix is not a header", "cef:0|a|b|c|d|e|7|", false,
         "warning(cef): input does not contain CEF header", 0, "", "", 0},
        {"escaped pipe stays inside the field with its backslash", "CEF:0|Acme\\|Corp|b|c|d|e|5|",
         true, "", 0, "Acme\\|Corp", "e", 5},
        {"severity word gives 0", "CEF:0|a|b|c|d|e|High|", true, "", 0, "a", "e", 0},
        {"severity above 255 gives 0", "CEF:0|a|b|c|d|e|300|", true, "", 0, "a", "e", 0},
        {"severity with underscore", "CEF:1|a|b|c|d|e|1_0|", true, "", 1, "a", "e", 10},
        {"header found after a syslog prefix", "<13>host x: CEF:0|v|p|1|2|n|3|", true, "", 0, "v",
         "n", 3},
        {"first CEF: is used", "x CEF:0|v|p|1|2|n|3| msg=CEF:1|w", true, "", 0, "v", "n", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        test::LogCapture log;
        CefEvent ev = cef::parse(c.line);
        EXPECT_EQ(ev.valid, c.valid);
        EXPECT_EQ(ev.version, c.version);
        EXPECT_EQ(ev.getDeviceVendor(), c.vendor);
        EXPECT_EQ(ev.getName(), c.name);
        EXPECT_EQ(ev.severity, c.severity);
        if (std::string(c.warning).empty()) {
            EXPECT_TRUE(log.lines().empty());
        } else {
            EXPECT_EQ(log.lines(), std::vector<std::string>{c.warning});
        }
    }
}

TEST(CefParse, HeaderFieldsAreCutToTheirSize) {
    std::string v(70, 'v'), p(70, 'p'), dv(40, 'd'), sig(40, 's'), name(140, 'n');
    CefEvent ev = cef::parse("CEF:0|" + v + "|" + p + "|" + dv + "|" + sig + "|" + name + "|1|");
    EXPECT_TRUE(ev.valid);
    EXPECT_EQ(ev.getDeviceVendor(), v.substr(0, 64));
    EXPECT_EQ(ev.getDeviceProduct(), p.substr(0, 64));
    EXPECT_EQ(ev.getDeviceVersion(), dv.substr(0, 32));
    EXPECT_EQ(ev.getSignatureId(), sig.substr(0, 32));
    EXPECT_EQ(ev.getName(), name.substr(0, 128));
}

TEST(CefParse, ExtensionValues) {
    struct Case {
        const char* rule;
        std::string ext;
        std::string message;
        std::string src;
        u16 spt;
        u16 dpt;
        std::string category;
        std::string subcategory;
        std::string client_mac;
    };
    const std::vector<Case> cases = {
        {"a value ends before the next key", "msg=a b=c", "a", "", 0, 0, "", "", ""},
        {"a space not followed by a key stays in the value", "msg=a =c", "a =c", "", 0, 0, "", "",
         ""},
        {"values may hold spaces", "msg=Blocked by IPS src=1.2.3.4", "Blocked by IPS", "1.2.3.4", 0,
         0, "", "", ""},
        {"keys may hold digits and underscores", "msg=x y_2=z", "x", "", 0, 0, "", "", ""},
        {"a run ending the text is not a key", "msg=x y", "x y", "", 0, 0, "", "", ""},
        {"hyphen ends a key run", "msg=x y-z=1", "x y-z=1", "", 0, 0, "", "", ""},
        {"leading spaces and tabs are skipped", " \t src=1.2.3.4", "", "1.2.3.4", 0, 0, "", "", ""},
        {"a tab is not a value end", "src=1.2.3.4\tmsg=x", "", "1.2.3.4\tmsg=x", 0, 0, "", "", ""},
        {"ports", "spt=1 dpt=65535", "", "", 1, 65535, "", "", ""},
        {"unreadable ports give 0", "spt=99999 dpt=http", "", "", 0, 0, "", "", ""},
        {"cs1, cs2 and smac", "cs1=Threat cs2=IPS smac=aa:bb:cc:dd:ee:ff", "", "", 0, 0, "Threat",
         "IPS", "aa:bb:cc:dd:ee:ff"},
        {"a repeated key overwrites", "cs1=a UNIFIcategory=b spt=1 spt=2", "", "", 2, 0, "b", "",
         ""},
        {"keys are case-sensitive", "SRC=1.2.3.4 Msg=x", "", "", 0, 0, "", "", ""},
        {"unknown keys are ignored", "act=blocked app=HTTP src=1.2.3.4", "", "1.2.3.4", 0, 0, "",
         "", ""},
        {"text without '=' is ignored", "just words", "", "", 0, 0, "", "", ""},
        {"escapes are not undone", "msg=a\\=b", "a\\=b", "", 0, 0, "", "", ""},
        {"empty value", "msg= src=1", "", "1", 0, 0, "", "", ""},
        {"client mac cut to 18 bytes", "UNIFIclientMac=aa:bb:cc:dd:ee:ff:00:11", "", "", 0, 0, "",
         "", "aa:bb:cc:dd:ee:ff:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        CefEvent ev = cef::parse("CEF:0|v|p|1|2|n|3|" + c.ext);
        EXPECT_TRUE(ev.valid);
        EXPECT_EQ(ev.getMessage(), c.message);
        EXPECT_EQ(ev.getSrcIp(), c.src);
        EXPECT_EQ(ev.src_port, c.spt);
        EXPECT_EQ(ev.dst_port, c.dpt);
        EXPECT_EQ(ev.getUnifiCategory(), c.category);
        EXPECT_EQ(ev.getUnifiSubcategory(), c.subcategory);
        EXPECT_EQ(ev.getClientMac(), c.client_mac);
    }
    std::string long_msg(600, 'm');
    EXPECT_EQ(cef::parse("CEF:0|v|p|1|2|n|3|msg=" + long_msg).getMessage(),
              long_msg.substr(0, 512));
    std::string long_ip(50, '1');
    CefEvent ev = cef::parse("CEF:0|v|p|1|2|n|3|src=" + long_ip + " dst=" + long_ip +
                             " proto=" + long_ip + " cs1=" + long_ip + " cs2=" + long_ip);
    EXPECT_EQ(ev.getSrcIp(), long_ip.substr(0, 46));
    EXPECT_EQ(ev.getDstIp(), long_ip.substr(0, 46));
    EXPECT_EQ(ev.getProtocol(), long_ip.substr(0, 16));
    EXPECT_EQ(ev.getUnifiCategory(), long_ip.substr(0, 32));
    EXPECT_EQ(ev.getUnifiSubcategory(), long_ip.substr(0, 32));
}

TEST(CefParse, TimestampKeys) {
    struct Case {
        const char* rule;
        const char* ext;
        i64 timestamp;
    };
    const Case cases[] = {
        {"rt in milliseconds", "rt=1709634030123", 1709634030},
        {"end in milliseconds", "end=1709634030999", 1709634030},
        {"UNIFIutcTime in milliseconds", "UNIFIutcTime=1709634030000", 1709634030},
        {"negative floors down", "rt=-1", -1},
        {"a formatted date gives 0", "rt=Mar 05 2024 10:20:30", 0},
        {"an ISO date gives 0", "UNIFIutcTime=2025-09-04T08:32:58.445Z", 0},
        {"the last of the three wins", "rt=1000 UNIFIutcTime=5000 end=9000", 9},
        {"a later unreadable one resets to 0", "rt=1709634030123 end=x", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cef::parse(std::string("CEF:0|v|p|1|2|n|3|") + c.ext).timestamp, c.timestamp)
            << c.rule;
    }
}

TEST(CefParse, ParseTimestampMs) {
    struct Case {
        const char* text;
        i64 seconds;
    };
    const Case cases[] = {
        {"1709634030123", 1709634030},
        {"+5000", 5},
        {"0", 0},
        {"999", 0},
        {"-1", -1},
        {"-1000", -1},
        {"-1001", -2},
        {"1_000", 1},
        {"9223372036854775807", 9223372036854775},
        {"-9223372036854775808", -9223372036854776},
        {"9223372036854775808", 0},
        {"", 0},
        {"-", 0},
        {"12a", 0},
        {" 12", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(cef::parseTimestampMs(c.text), c.seconds) << c.text;
}

TEST(CefParse, NextField) {
    std::string_view cursor = "a|b\\|c|d";
    auto f = cef::nextField(cursor);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(*f, "a");
    f = cef::nextField(cursor);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(*f, "b\\|c");
    EXPECT_EQ(cursor, "d");
    EXPECT_FALSE(cef::nextField(cursor).has_value());
    EXPECT_EQ(cursor, "d");
    std::string_view empty = "|x";
    f = cef::nextField(empty);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(*f, "");
    std::string_view escaped_only = "a\\|";
    EXPECT_FALSE(cef::nextField(escaped_only).has_value());
}

}  // namespace
}  // namespace tarvex
