// record_text.h: one-line text forms of parsed records for table tests.
//
// Each form lists the record's fields that differ from the empty record, in
// a fixed order, so one expected string pins the whole record: a field set
// where it should not be shows up as a difference.
#pragma once

#include <cstring>
#include <string>

#include "common/mac.h"
#include "ingest/event.h"

namespace tarvex::test {

inline void addField(std::string& out, const char* name, std::string_view value) {
    if (value.empty()) return;
    if (!out.empty()) out += ' ';
    out += name;
    out += '=';
    out += value;
}

inline void addNumber(std::string& out, const char* name, long long value) {
    if (value != 0) addField(out, name, std::to_string(value));
}

inline void addFlag(std::string& out, const char* name, bool set) {
    if (!set) return;
    if (!out.empty()) out += ' ';
    out += name;
}

inline std::string macText(const u8 mac[6]) {
    static const u8 zero[6] = {};
    return std::memcmp(mac, zero, 6) == 0 ? "" : std::string(macToString(mac).view());
}

inline std::string describe(const SyslogMessage& m) {
    std::string s;
    addFlag(s, "valid", m.valid);
    addNumber(s, "pri", static_cast<int>(m.facility) * 8 + static_cast<int>(m.severity));
    addNumber(s, "ts", m.timestamp);
    addField(s, "host", m.getHostname());
    addField(s, "app", m.getAppName());
    addField(s, "proc", m.getProcId());
    addField(s, "msg", m.getMessage());
    return s;
}

inline std::string describe(const FirewallEvent& e) {
    static const char* kActions[] = {"accept", "drop", "reject", "ret", ""};
    static const char* kProtocols[] = {"tcp", "udp", "icmp", ""};
    std::string s;
    addFlag(s, "valid", e.valid);
    addField(s, "chain", e.getChain());
    addField(s, "action", kActions[static_cast<int>(e.action)]);
    addField(s, "descr", e.getDescription());
    addField(s, "in", e.getInIface());
    addField(s, "dst_mac", macText(e.dst_mac));
    addField(s, "src_mac", macText(e.src_mac));
    addFlag(s, "macs", e.has_macs);
    addField(s, "src", e.getSrcIp());
    addField(s, "dst", e.getDstIp());
    addField(s, "proto", kProtocols[static_cast<int>(e.protocol)]);
    addNumber(s, "spt", e.src_port);
    addNumber(s, "dpt", e.dst_port);
    addNumber(s, "len", e.length);
    addNumber(s, "ttl", e.ttl);
    addFlag(s, "syn", e.syn);
    addFlag(s, "ack", e.ack);
    return s;
}

inline std::string describe(const DhcpEvent& e) {
    static const char* kTypes[] = {"discover", "offer",   "request", "ack",
                                   "nak",      "release", "inform",  ""};
    std::string s;
    addFlag(s, "valid", e.valid);
    addField(s, "type", kTypes[static_cast<int>(e.message_type)]);
    addField(s, "ip", e.getAssignedIp());
    addField(s, "mac", macText(e.mac));
    addField(s, "mac_str", e.getMacStr());
    addField(s, "host", e.getHostname());
    addField(s, "opt55", e.getOption55());
    addField(s, "vendor", e.getVendorClass());
    addNumber(s, "ts", e.timestamp);
    return s;
}

inline std::string describe(const DnsEvent& e) {
    static const char* kTypes[] = {"a",   "aaaa", "cname", "mx",  "txt", "ptr",
                                   "srv", "ns",   "soa",   "any", ""};
    static const char* kCodes[] = {"noerror", "nxdomain", "servfail", "refused", ""};
    std::string s;
    addFlag(s, "valid", e.valid);
    addField(s, "type", kTypes[static_cast<int>(e.query_type)]);
    addField(s, "rcode", kCodes[static_cast<int>(e.response_code)]);
    addField(s, "name", e.getQueryName());
    addField(s, "client", e.getClientIp());
    addNumber(s, "ts", e.timestamp);
    return s;
}

inline std::string describe(const CefEvent& e) {
    std::string s;
    addFlag(s, "valid", e.valid);
    addNumber(s, "v", e.version);
    addField(s, "vendor", e.getDeviceVendor());
    addField(s, "product", e.getDeviceProduct());
    addField(s, "version", e.getDeviceVersion());
    addField(s, "sig", e.getSignatureId());
    addField(s, "name", e.getName());
    addNumber(s, "sev", e.severity);
    addField(s, "src", e.getSrcIp());
    addField(s, "dst", e.getDstIp());
    addNumber(s, "spt", e.src_port);
    addNumber(s, "dpt", e.dst_port);
    addField(s, "proto", e.getProtocol());
    addField(s, "msg", e.getMessage());
    addField(s, "cat", e.getUnifiCategory());
    addField(s, "sub", e.getUnifiSubcategory());
    addField(s, "cmac", e.getClientMac());
    addNumber(s, "ts", e.timestamp);
    return s;
}

}  // namespace tarvex::test
