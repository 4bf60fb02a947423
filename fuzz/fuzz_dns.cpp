// fuzz_dns.cpp: resolver lines of any shape must parse without harm.
#include <cstdint>
#include <string_view>

#include "ingest/dns.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    tarvex::DnsEvent ev = tarvex::ingest::dns::parse(text);
    if (ev.query_name_len > sizeof ev.query_name || ev.client_ip_len > sizeof ev.client_ip) {
        __builtin_trap();
    }
    (void)tarvex::ingest::dns::isOsProbe(ev.getQueryName());
    (void)tarvex::ingest::dns::parseQueryType(text);
    return 0;
}
