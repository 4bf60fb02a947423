// fuzz_dhcp.cpp: DHCP server lines of any shape must parse without harm.
#include <cstdint>
#include <string_view>

#include "common/mac.h"
#include "ingest/dhcp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    tarvex::DhcpEvent ev = tarvex::ingest::dhcp::parse(text);
    if (ev.mac_str_len > sizeof ev.mac_str || ev.hostname_len > sizeof ev.hostname ||
        ev.assigned_ip_len > sizeof ev.assigned_ip || ev.option55_len != 0 ||
        ev.vendor_class_len != 0) {
        __builtin_trap();
    }
    if (ev.valid == (ev.message_type == tarvex::DhcpMessageType::unknown)) __builtin_trap();
    // A stored address text is always one that parseMac reads.
    if (ev.mac_str_len != 0 && !tarvex::parseMac(ev.getMacStr())) __builtin_trap();
    return 0;
}
