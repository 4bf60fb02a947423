// classify.cpp: keyword classification of received datagrams.
#include "ingest/classify.h"

namespace tarvex {

std::string_view eventTypeName(EventType t) {
    switch (t) {
        case EventType::syslog_event:
            return "syslog_event";
        case EventType::cef:
            return "cef";
        case EventType::dhcp_event:
            return "dhcp_event";
        case EventType::dns_event:
            return "dns_event";
        case EventType::firewall:
            return "firewall";
        case EventType::unknown:
            break;
    }
    return "unknown";
}

namespace ingest {

bool containsAny(std::string_view bytes, std::initializer_list<std::string_view> keywords) {
    for (std::string_view k : keywords) {
        if (bytes.find(k) != std::string_view::npos) return true;
    }
    return false;
}

namespace {

// `now` null: the syslog parser reads the wall clock when it needs a year.
ParsedEvent classify(std::string_view bytes, const i64* now) {
    if (bytes.size() > kMaxDatagram) bytes = bytes.substr(0, kMaxDatagram);
    // A datagram holds one line; senders that end it with a line break would
    // otherwise leave "\n" on the last field (an address or a MAC token).
    while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) {
        bytes.remove_suffix(1);
    }
    ParsedEvent ev;
    if (containsAny(bytes, {"CEF:"})) {
        ev.type = EventType::cef;
        ev.cef = cef::parse(bytes);
    } else if (containsAny(bytes, {"DHCPACK", "DHCPREQUEST", "DHCPDISCOVER", "DHCPOFFER", "DHCPNAK",
                                   "DHCPRELEASE", "DHCPINFORM"}) ||
               dhcp::isDnsmasqDetail(bytes)) {
        ev.type = EventType::dhcp_event;
        ev.dhcp = dhcp::parse(bytes);
    } else if (containsAny(bytes, {"query[", "query: ", "reply "})) {
        ev.type = EventType::dns_event;
        ev.dns = dns::parse(bytes);
    } else if (firewall::isFirewallLog(bytes)) {
        ev.type = EventType::firewall;
        ev.firewall = firewall::parse(bytes);
    } else {
        ev.type = EventType::syslog_event;
        ev.syslog = now ? syslog::parse(bytes, *now) : syslog::parse(bytes);
    }
    return ev;
}

}  // namespace

ParsedEvent classifyAndParse(std::string_view bytes, i64 now) {
    return classify(bytes, &now);
}

ParsedEvent classifyAndParse(std::string_view bytes) {
    return classify(bytes, nullptr);
}

}  // namespace ingest
}  // namespace tarvex
