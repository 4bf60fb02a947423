// dns_test.cpp: dnsmasq and BIND query lines, reply lines, types, probes.
#include "ingest/dns.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvex {
namespace {

namespace dns = ingest::dns;
using Q = DnsQueryType;
using R = DnsResponseCode;

struct DnsCase {
    const char* rule;
    std::string line;
    bool valid;
    Q type;
    R code;
    std::string name;
    std::string client;
};

TEST(DnsParse, LineForms) {
    const std::vector<DnsCase> cases = {
        {"dnsmasq query", "dnsmasq[812]: query[AAAA] nas.home.arpa from 192.168.1.23", true,
         Q::aaaa, R::noerror, "nas.home.arpa", "192.168.1.23"},
        {"dnsmasq client port after '#' is cut",
         "dnsmasq[812]: query[A] printer.home.arpa from 192.168.1.23#5353", true, Q::a, R::noerror,
         "printer.home.arpa", "192.168.1.23"},
        {"dnsmasq client with trailing white space", "query[A] x from 10.0.0.1 \r\n", true, Q::a,
         R::noerror, "x", "10.0.0.1"},
        {"unknown type token is other", "query[TYPE65] x from y", true, Q::other, R::noerror, "x",
         "y"},
        {"type token in lower case", "query[a] x from y", true, Q::a, R::noerror, "x", "y"},
        {"name at the end: response code stays other", "query[MX] lonely", true, Q::mx, R::other,
         "lonely", ""},
        {"spaces before the name are skipped", "query[A]   x from y", true, Q::a, R::noerror, "x",
         "y"},
        {"no 'from ': no client", "query[A] x to y", true, Q::a, R::noerror, "x", ""},
        {"'from' without a space: no client", "query[A] x from", true, Q::a, R::noerror, "x", ""},
        {"unclosed type falls through and fails", "query[A x from y", false, Q::other, R::other, "",
         ""},
        {"BIND query with client pointer",
         "named[1]: client @0x7f4c2 192.168.1.23#53124 (nas.home.arpa): query: nas.home.arpa IN A "
         "+E(0)K (192.168.1.1)",
         true, Q::a, R::noerror, "nas.home.arpa", "192.168.1.23"},
        {"BIND query without pointer", "client 10.0.0.7#1 (x): query: x IN MX +", true, Q::mx,
         R::noerror, "x", "10.0.0.7"},
        {"BIND query without class", "client 10.0.0.7#1 (x): query: x AAAA +", true, Q::aaaa,
         R::noerror, "x", "10.0.0.7"},
        {"BIND type ends at a tab", "client 10.0.0.7#1 (x): query: x IN PTR\t+", true, Q::ptr,
         R::noerror, "x", "10.0.0.7"},
        {"BIND name at the end", "client 10.0.0.7#1 (x): query: x", true, Q::other, R::other, "x",
         "10.0.0.7"},
        {"BIND without '#' is not a query line", "client 192.168.1.23 (x): query: x IN A +", false,
         Q::other, R::other, "", ""},
        {"BIND pointer without space", "query: x client @0x7f", false, Q::other, R::other, "", ""},
        {"reply with an address", "dnsmasq[812]: reply nas.home.arpa is 192.0.2.10", true, Q::a,
         R::noerror, "nas.home.arpa", ""},
        {"reply NXDOMAIN", "reply nas.home.arpa is NXDOMAIN", true, Q::a, R::nxdomain,
         "nas.home.arpa", ""},
        {"reply NXDOMAIN with trailing white space", "reply x is NXDOMAIN \n", true, Q::a,
         R::nxdomain, "x", ""},
        {"reply answer is compared whole", "reply nas.home.arpa is NXDOMAIN-IPv4", true, Q::a,
         R::noerror, "nas.home.arpa", ""},
        {"reply SERVFAIL", "reply x is SERVFAIL", true, Q::a, R::servfail, "x", ""},
        {"reply REFUSED", "reply x is REFUSED", true, Q::a, R::refused, "x", ""},
        {"reply CNAME marker", "reply x is <CNAME>", true, Q::a, R::noerror, "x", ""},
        {"reply without ' is '", "reply nas.home.arpa", false, Q::other, R::other, "", ""},
        {"reply followed by fewer than 4 bytes", "reply abc", false, Q::other, R::other, "", ""},
        {"BIND line without '#' is tried as a reply", "client 10.0.0.1 query: x reply y is 1.2.3.4",
         true, Q::a, R::noerror, "y", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule);
        DnsEvent ev = dns::parse(c.line);
        EXPECT_EQ(ev.valid, c.valid);
        EXPECT_EQ(ev.query_type, c.type);
        EXPECT_EQ(ev.response_code, c.code);
        EXPECT_EQ(ev.getQueryName(), c.name);
        EXPECT_EQ(ev.getClientIp(), c.client);
        EXPECT_EQ(ev.timestamp, 0);
    }
}

TEST(DnsParse, NamesAreCutTo256Bytes) {
    std::string name(300, 'n');
    EXPECT_EQ(dns::parse("query[A] " + name + " from 1.2.3.4").getQueryName(), name.substr(0, 256));
    EXPECT_EQ(dns::parse("query[A] " + name).getQueryName(), name.substr(0, 256));
    EXPECT_EQ(dns::parse("client 1.2.3.4#1: query: " + name + " IN A").getQueryName(),
              name.substr(0, 256));
    EXPECT_EQ(dns::parse("reply " + name + " is 1.2.3.4").getQueryName(), name.substr(0, 256));
    std::string client(60, '1');
    EXPECT_EQ(dns::parse("query[A] x from " + client).getClientIp(), client.substr(0, 46));
}

TEST(DnsParse, QueryTypeNames) {
    struct Case {
        const char* token;
        Q type;
    };
    const Case cases[] = {
        {"A", Q::a},      {"aaaa", Q::aaaa}, {"CName", Q::cname},  {"MX", Q::mx},
        {"txt", Q::txt},  {"PTR", Q::ptr},   {"SRV", Q::srv},      {"NS", Q::ns},
        {"SOA", Q::soa},  {"ANY", Q::any},   {"*", Q::any},        {"", Q::other},
        {"AA", Q::other}, {"A ", Q::other},  {"TYPE65", Q::other}, {"HTTPS", Q::other},
    };
    for (const auto& c : cases) EXPECT_EQ(dns::parseQueryType(c.token), c.type) << c.token;
}

TEST(DnsParse, OsProbeNames) {
    struct Case {
        const char* name;
        bool probe;
    };
    const Case cases[] = {
        {"captive.apple.com", true},
        {"connectivitycheck.gstatic.com", true},
        {"dns.msftncsi.com", true},
        {"www.msftconnecttest.com", true},
        {"connectivity-check.ubuntu.com", true},
        {"nmcheck.gnome.org", true},
        {"network-test.debian.org", true},
        {"gateway.icloud.com", true},
        {"gsp1.apple.com", true},
        {"android.googleapis.com", true},
        {"ipv6.msftconnecttest.com", true},
        {"download.windowsupdate.com", true},
        {".apple.com", true},          // the suffix itself
        {"CAPTIVE.APPLE.COM", false},  // compared case-sensitively
        {"apple.com", false},          // the bare domain lacks the dot
        {"notapple.com", false},       // suffix must start at a dot
        {"captive.apple.com.evil", false},
        {"gstatic.com", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(dns::isOsProbe(c.name), c.probe) << c.name;
}

TEST(DnsParse, EndsWith) {
    EXPECT_TRUE(dns::endsWith("a.example", ".example"));
    EXPECT_TRUE(dns::endsWith("x", ""));
    EXPECT_FALSE(dns::endsWith("example", ".example"));
    EXPECT_FALSE(dns::endsWith("", "x"));
}

}  // namespace
}  // namespace tarvex
