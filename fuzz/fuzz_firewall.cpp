// fuzz_firewall.cpp: packet-filter lines of any shape must parse without harm.
#include <cstdint>
#include <string_view>

#include "ingest/firewall.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)tarvex::ingest::firewall::isFirewallLog(text);
    tarvex::FirewallEvent ev = tarvex::ingest::firewall::parse(text);
    if (ev.chain_len > sizeof ev.chain || ev.description_len > sizeof ev.description ||
        ev.in_iface_len > sizeof ev.in_iface || ev.src_ip_len > sizeof ev.src_ip ||
        ev.dst_ip_len > sizeof ev.dst_ip) {
        __builtin_trap();
    }
    if (ev.valid != (ev.src_ip_len > 0 && ev.dst_ip_len > 0)) __builtin_trap();
    for (size_t i = 0; i < 8; ++i) (void)tarvex::ingest::firewall::parseHexMac(text, i);
    return 0;
}
