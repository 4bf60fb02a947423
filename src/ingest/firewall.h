// firewall.h: the packet-filter (iptables LOG) line parser.
//
// Reads kernel key=value packet-filter lines carrying a bracketed gateway
// rule tag ("[WAN_IN-D-4000] DESCR="..." IN=eth8 ... SRC=... DST=... SYN")
// into a fixed-size FirewallEvent. isFirewallLog is the classifier's cheap
// test; findValue, hasToken and parseHexMac are the field readers.
//
// Thread-safety: pure functions without shared state; they never log and
// never allocate.
#pragma once

#include <optional>
#include <string_view>

#include "common/mac.h"
#include "common/types.h"

namespace tarvex {

// One packet-filter log line.
struct FirewallEvent {
    enum class Action : u8 { accept = 0, drop = 1, reject = 2, ret = 3, unknown = 4 };
    enum class Protocol : u8 { tcp = 0, udp = 1, icmp = 2, unknown = 3 };

    u32 length;    // LEN=
    u16 src_port;  // SPT=
    u16 dst_port;  // DPT=
    char chain[32];
    u8 chain_len;
    Action action;
    char description[64];  // quoted DESCR= text
    u8 description_len;
    char in_iface[16];  // IN=
    u8 in_iface_len;
    u8 src_mac[6];
    u8 dst_mac[6];
    bool has_macs;  // both addresses of MAC= were read
    char src_ip[46];
    u8 src_ip_len;
    char dst_ip[46];
    u8 dst_ip_len;
    Protocol protocol;
    u8 ttl;
    bool syn;    // the token SYN stands alone in the line
    bool ack;    // the token ACK stands alone in the line
    bool valid;  // both addresses are present

    std::string_view getSrcIp() const { return {src_ip, src_ip_len}; }
    std::string_view getDstIp() const { return {dst_ip, dst_ip_len}; }
    std::string_view getChain() const { return {chain, chain_len}; }
    std::string_view getDescription() const { return {description, description_len}; }
    std::string_view getInIface() const { return {in_iface, in_iface_len}; }
};

namespace ingest::firewall {

using Action = FirewallEvent::Action;
using Protocol = FirewallEvent::Protocol;

// True when the line is at least 20 bytes long, holds a '[' and both
// "SRC=" and "DST=".
bool isFirewallLog(std::string_view text);

// Parses one line; valid is false when it is unusable. Never fails.
FirewallEvent parse(std::string_view text);

// The value after the first occurrence of `key` (e.g. "SRC="), up to the
// next space or the end; nothing when the key is absent or the value empty.
std::optional<std::string_view> findValue(std::string_view text, std::string_view key);

// True when `token` occurs delimited by the text's ends or spaces.
bool hasToken(std::string_view text, std::string_view token);

// Six "hh:" groups starting at byte index * 3 (each pair, the sixth too,
// followed by ':'); nothing when any byte is out of place.
std::optional<MacAddr> parseHexMac(std::string_view text, size_t index);

}  // namespace ingest::firewall
}  // namespace tarvex
