// cef_test.cpp: CEF header, extensions, value ends and timestamps.
#include "ingest/cef.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ingest/record_text.h"
#include "support/log_capture.h"

namespace tarvex {
namespace {

namespace cef = ingest::cef;
using test::describe;

struct Case {
    const char* rule;
    std::string line;
    std::string record;
    const char* warning = "";  // "" when nothing may be logged
};

void check(const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        test::LogCapture log;
        EXPECT_EQ(describe(cef::parse(c.line)), c.record) << c.rule << "\n  " << c.line;
        std::vector<std::string> want;
        if (*c.warning) want.push_back(c.warning);
        EXPECT_EQ(log.lines(), want) << c.rule;
    }
}

TEST(CefParse, Header) {
    const std::string abc = "vendor=a product=b version=c sig=d name=e";
    check({
        {"syslog-framed UniFi record",
         "<134>Mar  5 10:20:30 gw CEF:0|Ubiquiti|UniFi Network|8.0|1001|Threat detected|7|"
         "src=192.168.1.20 dst=203.0.113.9 spt=51234 dpt=443 proto=TCP msg=Blocked by IPS "
         "UNIFIcategory=Security UNIFIsubCategory=Intrusion Prevention "
         "UNIFIclientMac=a4:83:e7:12:34:56 UNIFIutcTime=1709634030123",
         "valid vendor=Ubiquiti product=UniFi Network version=8.0 sig=1001 name=Threat detected "
         "sev=7 src=192.168.1.20 dst=203.0.113.9 spt=51234 dpt=443 proto=TCP msg=Blocked by IPS "
         "cat=Security sub=Intrusion Prevention cmac=a4:83:e7:12:34:56 ts=1709634030"},
        {"no pipe after the severity: incomplete, silent", "CEF:0|a|b|c|d|e|7", abc},
        {"empty extension", "CEF:0|a|b|c|d|e|7|", "valid " + abc + " sev=7"},
        {"version 255", "CEF:255|a|b|c|d|e|1|", "valid v=255 " + abc + " sev=1"},
        {"escaped pipe stays in the field", "CEF:0|Acme\\|Corp|b|c|d|e|5|",
         "valid vendor=Acme\\|Corp product=b version=c sig=d name=e sev=5"},
        {"an escaped backslash does not escape the pipe", "CEF:0|C:\\\\|b|c|d|e|5|",
         "valid vendor=C:\\\\ product=b version=c sig=d name=e sev=5"},
        {"three backslashes escape it", "CEF:0|A\\\\\\|B|b|c|d|e|5|",
         "valid vendor=A\\\\\\|B product=b version=c sig=d name=e sev=5"},
        {"severity word gives 0", "CEF:0|a|b|c|d|e|High|", "valid " + abc},
        {"severity above 255 gives 0", "CEF:0|a|b|c|d|e|300|", "valid " + abc},
        {"header after a prefix, first CEF: wins", "x CEF:1|a|b|c|d|e|3|msg=CEF:2|w",
         "valid v=1 " + abc + " sev=3 msg=CEF:2|w"},
        {"header fields cut to size",
         "CEF:0|" + std::string(70, 'v') + "|" + std::string(70, 'p') + "|" + std::string(40, 'd') +
             "|" + std::string(40, 's') + "|" + std::string(140, 'n') + "|1|",
         "valid vendor=" + std::string(64, 'v') + " product=" + std::string(64, 'p') +
             " version=" + std::string(32, 'd') + " sig=" + std::string(32, 's') +
             " name=" + std::string(128, 'n') + " sev=1"},
        {"non-numeric version", "CEF:x|a|b|c|d|e|7|", "", "warning(cef): invalid CEF version"},
        {"space before the version", "CEF: 0|a|b|", "", "warning(cef): invalid CEF version"},
        {"version 256", "CEF:256|a|b|", "", "warning(cef): invalid CEF version"},
        {"empty version", "CEF:|a|b|", "", "warning(cef): invalid CEF version"},
        {"no pipe after the version", "CEF:0", "", "warning(cef): missing pipe after version"},
        {"no CEF: anywhere", "0|a|b|c|d|e|7|", "",
         "warning(cef): input does not contain CEF header"},
        {"lower-case prefix", "cef:0|a|b|", "", "warning(cef): input does not contain CEF header"},
    });
}

TEST(CefParse, Extensions) {
    const std::string h = "CEF:0|a|b|c|d|e|0|";
    const std::string v = "valid vendor=a product=b version=c sig=d name=e";
    check({
        {"a value ends before the next key", h + "msg=a b=c", v + " msg=a"},
        {"a space not before a key stays", h + "msg=a =c", v + " msg=a =c"},
        {"values may hold spaces", h + "msg=Blocked by IPS src=1.2.3.4",
         v + " src=1.2.3.4 msg=Blocked by IPS"},
        {"key runs hold letters, digits, '_'", h + "msg=x y_2=z y-z=1", v + " msg=x"},
        {"a run ending the text is no key", h + "msg=x y", v + " msg=x y"},
        {"a hyphen breaks a key run", h + "msg=x y-z=1", v + " msg=x y-z=1"},
        {"leading spaces and tabs", h + " \t src=1.2.3.4", v + " src=1.2.3.4"},
        {"a tab does not end a value", h + "src=1.2.3.4\tmsg=x", v + " src=1.2.3.4\tmsg=x"},
        {"empty value", h + "msg= src=1", v + " src=1"},
        {"ports", h + "spt=1 dpt=65535", v + " spt=1 dpt=65535"},
        {"unreadable ports give 0", h + "spt=99999 dpt=http", v},
        {"cs1, cs2 and smac", h + "cs1=Threat cs2=IPS smac=aa:bb:cc:dd:ee:ff",
         v + " cat=Threat sub=IPS cmac=aa:bb:cc:dd:ee:ff"},
        {"a repeated key overwrites", h + "cs1=a UNIFIcategory=b spt=1 spt=2", v + " spt=2 cat=b"},
        {"keys are case-sensitive", h + "SRC=1.2.3.4 Msg=x", v},
        {"unknown keys and text without '='", h + "act=blocked just words", v},
        {"escapes are not undone", h + "msg=a\\=b", v + " msg=a\\=b"},
        {"msg cut to 512 bytes", h + "msg=" + std::string(600, 'm'),
         v + " msg=" + std::string(512, 'm')},
        {"texts cut to their fields",
         h + "src=" + std::string(50, '1') + " proto=" + std::string(20, 'p') +
             " cs2=" + std::string(40, 's') + " UNIFIclientMac=aa:bb:cc:dd:ee:ff:00:11",
         v + " src=" + std::string(46, '1') + " proto=" + std::string(16, 'p') +
             " sub=" + std::string(32, 's') + " cmac=aa:bb:cc:dd:ee:ff:"},
        {"rt in milliseconds", h + "rt=1709634030123", v + " ts=1709634030"},
        {"negative time floors", h + "end=-1", v + " ts=-1"},
        {"formatted date gives 0", h + "rt=Mar 05 2024 10:20:30", v},
        {"last of rt, end, UNIFIutcTime wins", h + "rt=1000 UNIFIutcTime=5000 end=9000",
         v + " ts=9"},
        {"a later unreadable one resets", h + "rt=1709634030123 UNIFIutcTime=2025-09-04T08:32Z", v},
    });
}

TEST(CefParse, ParseTimestampMs) {
    struct TsCase {
        const char* text;
        i64 seconds;
    };
    const TsCase cases[] = {
        {"1709634030123", 1709634030},
        {"+5000", 5},
        {"999", 0},
        {"-1000", -1},
        {"-1001", -2},
        {"1_000", 1},
        {"9223372036854775807", 9223372036854775},
        {"-9223372036854775808", -9223372036854776},
        {"9223372036854775808", 0},
        {"-", 0},
        {" 12", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(cef::parseTimestampMs(c.text), c.seconds) << c.text;
}

}  // namespace
}  // namespace tarvex
