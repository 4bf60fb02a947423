// dhcp.h: the DHCP server log line parser.
//
// Reads lease lines of dnsmasq ("dnsmasq-dhcp[812]: DHCPACK(br0) 192.168.1.50
// a4:83:e7:12:34:56 laptop"), ISC dhcpd ("DHCPACK on 192.168.1.50 to
// a4:83:e7:12:34:56 (laptop) via eth0", "DHCPREQUEST for 192.168.1.50 from
// a4:83:e7:12:34:56 (laptop) via eth0", "DHCPDISCOVER from ...") and any other
// server that names the DHCP message type followed by address, hardware
// address and host name, into a fixed-size DhcpEvent. dnsmasq with log-dhcp
// adds a transaction id before each line's text and writes what identifies
// a client on lines of their own ("<xid> vendor class: ...", "<xid>
// requested options: ..." over several lines, "<xid> client provides name:
// ..."); those become DhcpEvents with a `detail` and message type unknown.
//
// Thread-safety: pure functions without shared state; they never log and
// never allocate.
#pragma once

#include <optional>
#include <string_view>

#include "common/mac.h"
#include "common/types.h"

namespace tarvex {

enum class DhcpMessageType : u8 {
    discover = 0,
    offer = 1,
    request = 2,
    ack = 3,
    nak = 4,
    release = 5,
    inform = 6,
    unknown = 7,
};

// What a dnsmasq log-dhcp line without a message type tells about the
// exchange named by its transaction id.
enum class DhcpDetail : u8 {
    none = 0,
    vendor_class = 1,       // "<xid> vendor class: MSFT 5.0"
    requested_options = 2,  // "<xid> requested options: 1:netmask, 3:router, " (one of several)
    client_name = 3,        // "<xid> client provides name: laptop"
};

constexpr u32 kOption55Cap = 96;

// One DHCP server line.
struct DhcpEvent {
    i64 timestamp;     // left 0 by the parser
    u8 mac[6];         // client hardware address, when read
    char mac_str[18];  // the address text as it stood in the line
    u8 mac_str_len;
    char hostname[64];
    u8 hostname_len;
    char option55[kOption55Cap];  // parameter request list (log-dhcp lines), "1,3,6"
    u8 option55_len;
    char vendor_class[64];  // option 60 (log-dhcp lines)
    u8 vendor_class_len;
    char assigned_ip[46];
    u8 assigned_ip_len;
    DhcpMessageType message_type;
    bool valid;  // a line format was applied
    // dnsmasq's transaction id ("dnsmasq-dhcp[1105]: 2721026064 DHCPACK..."),
    // present with log-dhcp; the detail a line without a message type
    // carries, and for requested options whether more lines follow (the
    // line ends with ", ").
    bool has_xid;
    DhcpDetail detail;
    bool options_continue;
    u32 xid;

    std::string_view getMacStr() const { return {mac_str, mac_str_len}; }
    std::string_view getHostname() const { return {hostname, hostname_len}; }
    std::string_view getOption55() const { return {option55, option55_len}; }
    std::string_view getVendorClass() const { return {vendor_class, vendor_class_len}; }
    std::string_view getAssignedIp() const { return {assigned_ip, assigned_ip_len}; }
};

namespace ingest::dhcp {

// A message-type keyword and its type.
struct MsgTypeKeyword {
    std::string_view keyword;
    DhcpMessageType type;
};

// Searched in this order; the first keyword found anywhere in the line wins,
// whatever its position.
inline constexpr MsgTypeKeyword MSG_TYPE_KEYWORDS[7] = {
    {"DHCPDISCOVER", DhcpMessageType::discover}, {"DHCPOFFER", DhcpMessageType::offer},
    {"DHCPREQUEST", DhcpMessageType::request},   {"DHCPACK", DhcpMessageType::ack},
    {"DHCPNAK", DhcpMessageType::nak},           {"DHCPRELEASE", DhcpMessageType::release},
    {"DHCPINFORM", DhcpMessageType::inform},
};

// Parses one line; valid is false when no message type is named and the
// line is no dnsmasq log-dhcp detail line. Never fails.
DhcpEvent parse(std::string_view line);

// True for a dnsmasq log-dhcp line that carries a vendor class, requested
// options or a client name (the classifier's test; the line has no message
// type keyword).
bool isDnsmasqDetail(std::string_view line);

// The shared reader of "ADDRESS [MAC [HOST NAME...]]": fills assigned_ip,
// mac/mac_str (only for a well-formed address) and hostname.
void parseTokens(std::string_view text, DhcpEvent& ev);

// The 17-character upper-case text form of a stored address.
inline MacText macToString(const u8 mac[6]) {
    return tarvex::macToString(mac);
}

}  // namespace ingest::dhcp
}  // namespace tarvex
