// corpus_test.cpp: the shared real-world sample logs through classification.
//
// Every line of every sample file must go through classifyAndParse without
// harm. The lines of each format file must classify as that format and parse
// as valid, except lines that are outside the accepted forms; those are
// named below by what sets them apart, and must then indeed not come out as
// a valid record of the file's format (so an exception cannot hide a line the
// parsers should read).
#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "ingest/classify.h"
#include "ingest/dhcp.h"
#include "support/daemon.h"
#include "support/log_capture.h"

namespace tarvex {
namespace {

std::vector<std::string> readLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

bool isValid(const ParsedEvent& ev) {
    switch (ev.type) {
        case EventType::syslog_event:
            return ev.syslog.valid;
        case EventType::cef:
            return ev.cef.valid;
        case EventType::dhcp_event:
            return ev.dhcp.valid;
        case EventType::dns_event:
            return ev.dns.valid;
        case EventType::firewall:
            return ev.firewall.valid;
        case EventType::unknown:
            break;
    }
    return false;
}

bool has(const std::string& s, const char* part) {
    return s.find(part) != std::string::npos;
}

bool hasAnyDhcpKeyword(const std::string& s) {
    for (const char* k : {"DHCPDISCOVER", "DHCPOFFER", "DHCPREQUEST", "DHCPACK", "DHCPNAK",
                          "DHCPRELEASE", "DHCPINFORM"}) {
        if (has(s, k)) return true;
    }
    return false;
}

// Number of header separators after "CEF:" (a '|' not preceded by '\').
int cefPipes(const std::string& s) {
    size_t at = s.find("CEF:");
    if (at == std::string::npos) return 0;
    int n = 0;
    for (size_t i = at + 4; i < s.size(); ++i) {
        if (s[i] == '|' && s[i - 1] != '\\') ++n;
    }
    return n;
}

struct OutsideForm {
    const char* why;
    std::function<bool(const std::string&)> applies;
};

struct FormatFile {
    const char* file;
    EventType type;
    std::vector<OutsideForm> outside;
};

const std::vector<FormatFile>& formatFiles() {
    static const std::vector<FormatFile> files = {
        {"syslog-rfc3164.log", EventType::syslog_event, {}},
        {"syslog-rfc5424.log", EventType::syslog_event, {}},
        {"syslog-rfc3164-nopri.log",
         EventType::syslog_event,
         {{"file-style line without <PRI>", [](auto& s) { return s.empty() || s[0] != '<'; }}}},
        {"cef.log",
         EventType::cef,
         {{"'CEF:' lost upstream, record starts at the version",
           [](auto& s) { return !has(s, "CEF:"); }},
          {"space after 'CEF:' makes the version non-numeric",
           [](auto& s) { return has(s, "CEF: "); }},
          {"header with fewer than seven fields", [](auto& s) { return cefPipes(s) < 7; }}}},
        {"dhcp-dnsmasq.log",
         EventType::dhcp_event,
         {{"dnsmasq-dhcp line naming no DHCPv4 message and no client detail (sent options, "
           "tags, SLAAC, RA, ranges)",
           [](auto& s) { return !hasAnyDhcpKeyword(s) && !ingest::dhcp::isDnsmasqDetail(s); }}}},
        {"dhcp-iscdhcpd.log",
         EventType::dhcp_event,
         {{"dhcpd line naming none of the seven DHCPv4 messages (DHCPv6, EXPIRE, DECLINE, "
           "LEASEQUERY, service lines)",
           [](auto& s) { return !hasAnyDhcpKeyword(s); }}}},
        {"dns-dnsmasq.log",
         EventType::dns_event,
         {{"dnsmasq line that is neither a query nor a reply (forwarded, cached, config, DHCP "
           "names, start-up)",
           [](auto& s) { return !has(s, "query[") && !has(s, "reply "); }}}},
        {"dns-bind.log",
         EventType::dns_event,
         {{"named line that is not a query-log entry (denied, failed, transfer, rpz, "
           "validation)",
           [](auto& s) { return !has(s, "query: "); }}}},
        {"firewall-iptables.log",
         EventType::firewall,
         {{"no bracketed rule tag (Proxmox, SuSE and plain LOG prefixes)",
           [](auto& s) { return !has(s, "["); }},
          {"continuation fragment without SRC=/DST=",
           [](auto& s) { return !has(s, "SRC=") || !has(s, "DST="); }},
          {"first bracket opens the quoted header of an ICMP error",
           [](auto& s) { return s.find('[') > s.find("SRC="); }}}},
        {"firewall-pfsense.log",
         EventType::firewall,
         {{"filterlog CSV, not key=value", [](auto& s) { return has(s, "filterlog"); }}}},
    };
    return files;
}

TEST(CorpusLines, EveryLineClassifiesWithoutHarm) {
    std::string dir = test::corpusDir();
    if (dir.empty()) GTEST_SKIP() << "sample logs not present";
    test::LogCapture quiet;  // the syslog fallback warns about lines without PRI
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr);
    size_t total = 0;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        for (const std::string& line : readLines(dir + "/" + name)) {
            ParsedEvent ev = ingest::classifyAndParse(line);
            EXPECT_LE(static_cast<int>(ev.type), static_cast<int>(EventType::firewall));
            ++total;
        }
    }
    closedir(d);
    EXPECT_GT(total, 700u);
}

TEST(CorpusLines, FormatFilesParseAsTheirFormat) {
    std::string dir = test::corpusDir();
    if (dir.empty()) GTEST_SKIP() << "sample logs not present";
    test::LogCapture quiet;  // the syslog fallback warns about lines without PRI
    for (const FormatFile& f : formatFiles()) {
        std::vector<std::string> lines = readLines(dir + "/" + f.file);
        if (lines.empty()) continue;  // file absent in this copy of the samples
        size_t accepted = 0;
        for (size_t i = 0; i < lines.size(); ++i) {
            const std::string& line = lines[i];
            ParsedEvent ev = ingest::classifyAndParse(line);
            bool as_format = ev.type == f.type && isValid(ev);
            const char* why = nullptr;
            for (const OutsideForm& o : f.outside) {
                if (o.applies(line)) {
                    why = o.why;
                    break;
                }
            }
            if (why) {
                EXPECT_FALSE(as_format) << f.file << ":" << i + 1 << " is read although " << why;
            } else {
                EXPECT_TRUE(as_format)
                    << f.file << ":" << i + 1 << " type " << eventTypeName(ev.type) << ": " << line;
                ++accepted;
            }
        }
        // Two files hold no line of an accepted form at all: files without
        // PRI and the filterlog CSV.
        std::string name = f.file;
        if (name != "firewall-pfsense.log" && name != "syslog-rfc3164-nopri.log") {
            EXPECT_GT(accepted, 0u) << f.file;
        }
    }
}

TEST(CorpusLines, IscLeaseLinesGiveAddressesNotWords) {
    std::string dir = test::corpusDir();
    if (dir.empty()) GTEST_SKIP() << "sample logs not present";
    test::LogCapture quiet;
    size_t with_mac = 0;
    for (const std::string& line : readLines(dir + "/dhcp-iscdhcpd.log")) {
        ParsedEvent ev = ingest::classifyAndParse(line);
        if (ev.type != EventType::dhcp_event || !ev.dhcp.valid) continue;
        std::string_view ip = ev.dhcp.getAssignedIp();
        EXPECT_TRUE(ip.empty() || (ip[0] >= '0' && ip[0] <= '9')) << line;
        EXPECT_FALSE(ev.dhcp.getHostname().starts_with("via ")) << line;
        if (ev.dhcp.mac_str_len > 0) ++with_mac;
    }
    EXPECT_GT(with_mac, 30u);
}

}  // namespace
}  // namespace tarvex
