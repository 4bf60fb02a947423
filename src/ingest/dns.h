// dns.h: the DNS resolver log line parser.
//
// Reads dnsmasq query lines ("query[AAAA] nas.home.arpa from 192.168.1.23"),
// BIND query-log lines ("client @0x7f4c2 192.168.1.23#53124 (nas.home.arpa):
// query: nas.home.arpa IN A +E(0)K (192.168.1.1)") and dnsmasq reply lines
// ("reply nas.home.arpa is 192.0.2.10") into a fixed-size DnsEvent, and tells
// the operating systems' connectivity-check names apart (isOsProbe).
//
// Thread-safety: pure functions without shared state; they never log and
// never allocate.
#pragma once

#include <string_view>

#include "common/types.h"

namespace tarvex {

enum class DnsQueryType : u8 {
    a = 0,
    aaaa = 1,
    cname = 2,
    mx = 3,
    txt = 4,
    ptr = 5,
    srv = 6,
    ns = 7,
    soa = 8,
    any = 9,
    other = 10,
};

enum class DnsResponseCode : u8 { noerror = 0, nxdomain = 1, servfail = 2, refused = 3, other = 4 };

// One resolver line.
struct DnsEvent {
    i64 timestamp;  // left 0 by the parser
    u16 query_name_len;
    char client_ip[46];
    u8 client_ip_len;
    char query_name[256];
    DnsQueryType query_type;        // default other
    DnsResponseCode response_code;  // default other
    bool valid;                     // a line format was applied

    std::string_view getQueryName() const { return {query_name, query_name_len}; }
    std::string_view getClientIp() const { return {client_ip, client_ip_len}; }
};

namespace ingest::dns {

// Parses one line, trying the dnsmasq query, BIND query and dnsmasq reply
// forms in that order. Never fails: valid is false when none applies.
DnsEvent parse(std::string_view line);

// The query type named by a whole token, in any letter case ("*" is any).
DnsQueryType parseQueryType(std::string_view token);

// True for the connectivity-check names operating systems look up on
// joining a network (exact host names, or names under the check domains).
bool isOsProbe(std::string_view name);

// Plain suffix comparison.
bool endsWith(std::string_view name, std::string_view suffix);

}  // namespace ingest::dns
}  // namespace tarvex
