// dns_test.cpp: dnsmasq and BIND query lines, reply lines, types, probes.
#include "ingest/dns.h"

#include <gtest/gtest.h>

#include <string>

#include "ingest/record_text.h"

namespace tarvex {
namespace {

namespace dns = ingest::dns;
using test::describe;

TEST(DnsParse, LineForms) {
    const std::string n300(300, 'n'), n256(256, 'n');
    struct Case {
        const char* rule;
        std::string line;
        std::string record;
    };
    const Case cases[] = {
        {"dnsmasq query", "dnsmasq[812]: query[AAAA] nas.home.arpa from 192.168.1.23",
         "valid type=aaaa rcode=noerror name=nas.home.arpa client=192.168.1.23"},
        {"client port cut at '#'", "query[A] printer.home.arpa from 192.168.1.23#5353",
         "valid type=a rcode=noerror name=printer.home.arpa client=192.168.1.23"},
        {"client trailing white space", "query[A] x from 10.0.0.1 \r\n",
         "valid type=a rcode=noerror name=x client=10.0.0.1"},
        {"unknown type token", "query[TYPE65] x from y", "valid rcode=noerror name=x client=y"},
        {"lower-case type token", "query[a] x from y",
         "valid type=a rcode=noerror name=x client=y"},
        {"name at the end: code stays other", "query[MX]   lonely", "valid type=mx name=lonely"},
        {"no 'from ': no client", "query[A] x from", "valid type=a rcode=noerror name=x"},
        {"unclosed type falls through and fails", "query[A x from y", ""},
        {"BIND query", "client @0x7f4c2 192.168.1.23#53124 (x): query: x IN A +E(0)K (192.168.1.1)",
         "valid type=a rcode=noerror name=x client=192.168.1.23"},
        {"BIND without pointer or class", "client 10.0.0.7#1 (x): query: x AAAA +",
         "valid type=aaaa rcode=noerror name=x client=10.0.0.7"},
        {"BIND type ends at a tab", "client 10.0.0.7#1 (x): query: x IN PTR\t+",
         "valid type=ptr rcode=noerror name=x client=10.0.0.7"},
        {"BIND name at the end", "client 10.0.0.7#1 (x): query: x", "valid name=x client=10.0.0.7"},
        {"BIND without '#' is no query line", "client 192.168.1.23 (x): query: x IN A +", ""},
        {"BIND without '#' is tried as a reply", "client 10.0.0.1 query: x reply y is 1.2.3.4",
         "valid type=a rcode=noerror name=y"},
        {"reply with an address", "dnsmasq[812]: reply nas.home.arpa is 192.0.2.10",
         "valid type=a rcode=noerror name=nas.home.arpa"},
        {"reply NXDOMAIN", "reply x is NXDOMAIN \n", "valid type=a rcode=nxdomain name=x"},
        {"answer compared whole", "reply x is NXDOMAIN-IPv4", "valid type=a rcode=noerror name=x"},
        {"reply SERVFAIL", "reply x is SERVFAIL", "valid type=a rcode=servfail name=x"},
        {"reply REFUSED", "reply x is REFUSED", "valid type=a rcode=refused name=x"},
        {"reply without ' is '", "reply nas.home.arpa", ""},
        {"reply with fewer than 4 bytes", "reply abc", ""},
        {"names cut to 256 bytes", "query[A] " + n300, "valid type=a name=" + n256},
        {"BIND names cut too", "client 1.2.3.4#1: query: " + n300 + " IN A",
         "valid type=a rcode=noerror name=" + n256 + " client=1.2.3.4"},
        {"reply names cut too", "reply " + n300 + " is 1.2.3.4",
         "valid type=a rcode=noerror name=" + n256},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(describe(dns::parse(c.line)), c.record) << c.rule << "\n  " << c.line;
    }
}

TEST(DnsParse, QueryTypeNames) {
    struct Case {
        const char* token;
        DnsQueryType type;
    };
    using Q = DnsQueryType;
    const Case cases[] = {
        {"A", Q::a},      {"aaaa", Q::aaaa}, {"CName", Q::cname}, {"MX", Q::mx},
        {"txt", Q::txt},  {"PTR", Q::ptr},   {"SRV", Q::srv},     {"NS", Q::ns},
        {"SOA", Q::soa},  {"ANY", Q::any},   {"*", Q::any},       {"", Q::other},
        {"AA", Q::other}, {"A ", Q::other},  {"HTTPS", Q::other},
    };
    for (const auto& c : cases) EXPECT_EQ(dns::parseQueryType(c.token), c.type) << c.token;
}

TEST(DnsParse, OsProbeNames) {
    const char* probes[] = {
        "captive.apple.com",
        "connectivitycheck.gstatic.com",
        "dns.msftncsi.com",
        "www.msftconnecttest.com",
        "connectivity-check.ubuntu.com",
        "nmcheck.gnome.org",
        "network-test.debian.org",
        "gateway.icloud.com",
        "gsp1.apple.com",
        "android.googleapis.com",
        "ipv6.msftconnecttest.com",
        "download.windowsupdate.com",
        ".apple.com",  // a suffix itself, with its dot
    };
    for (const char* n : probes) EXPECT_TRUE(dns::isOsProbe(n)) << n;
    const char* others[] = {
        "CAPTIVE.APPLE.COM",  // compared case-sensitively
        "apple.com",          // the bare domain lacks the dot
        "notapple.com",      "captive.apple.com.evil", "gstatic.com", "",
    };
    for (const char* n : others) EXPECT_FALSE(dns::isOsProbe(n)) << n;
}

}  // namespace
}  // namespace tarvex
