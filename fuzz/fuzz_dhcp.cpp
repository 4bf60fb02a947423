// fuzz_dhcp.cpp: DHCP server lines of any shape must parse without harm.
#include <cstdint>
#include <string_view>

#include "common/mac.h"
#include "ingest/dhcp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    tarvex::DhcpEvent ev = tarvex::ingest::dhcp::parse(text);
    if (ev.mac_str_len > sizeof ev.mac_str || ev.hostname_len > sizeof ev.hostname ||
        ev.assigned_ip_len > sizeof ev.assigned_ip || ev.option55_len > sizeof ev.option55 ||
        ev.vendor_class_len > sizeof ev.vendor_class) {
        __builtin_trap();
    }
    // A line is valid by its message type, or (without one) as a log-dhcp
    // detail line, which always carries its transaction id.
    const bool detail = ev.detail != tarvex::DhcpDetail::none;
    if (detail && (!ev.has_xid || ev.message_type != tarvex::DhcpMessageType::unknown))
        __builtin_trap();
    if (ev.valid != (detail || ev.message_type != tarvex::DhcpMessageType::unknown))
        __builtin_trap();
    // An option list is digits and commas only.
    for (char c : ev.getOption55())
        if (c != ',' && (c < '0' || c > '9')) __builtin_trap();
    // A stored address text is always one that parseMac reads.
    if (ev.mac_str_len != 0 && !tarvex::parseMac(ev.getMacStr())) __builtin_trap();
    return 0;
}
