// event.h: the classified, parsed form of one received datagram.
//
// ParsedEvent is a tagged union: `type` says which payload is live. Every
// payload is a plain fixed-size record with its own `valid` flag;
// classification fixes the tag whatever the parser concluded, and the
// handlers decide what an invalid payload means.
//
// Plain values: trivially copyable, no pointers into the datagram, so a
// ParsedEvent may be copied or kept after the receive buffer is reused.
#pragma once

#include <string_view>
#include <type_traits>

#include "common/types.h"
#include "ingest/cef.h"
#include "ingest/dhcp.h"
#include "ingest/dns.h"
#include "ingest/firewall.h"
#include "ingest/syslog.h"

namespace tarvex {

// The largest datagram the listener hands on; longer ones are cut to it.
inline constexpr size_t kMaxDatagram = 4096;

enum class EventType : u8 {
    syslog_event = 0,
    cef = 1,
    dhcp_event = 2,
    dns_event = 3,
    firewall = 4,
    unknown = 5,  // a value of the type only; classification never gives it
};

// The enumerator name ("syslog_event", "cef", ...; "unknown" for any value
// outside the type).
std::string_view eventTypeName(EventType t);

struct ParsedEvent {
    EventType type;
    union {
        SyslogMessage syslog;    // type == syslog_event
        CefEvent cef;            // type == cef
        DhcpEvent dhcp;          // type == dhcp_event
        DnsEvent dns;            // type == dns_event
        FirewallEvent firewall;  // type == firewall
    };
};

static_assert(std::is_trivially_copyable_v<ParsedEvent>);

}  // namespace tarvex
