// fuzz_cef.cpp: CEF records of any shape must parse without harm.
#include <cstdint>
#include <string_view>

#include "common/log.h"
#include "ingest/cef.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        tarvex::setLogSink([](void*, std::string_view) {}, nullptr);
        return true;
    }();
    (void)quiet;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    tarvex::CefEvent ev = tarvex::ingest::cef::parse(text);
    if (ev.message_len > sizeof ev.message || ev.name_len > sizeof ev.name ||
        ev.device_vendor_len > sizeof ev.device_vendor ||
        ev.device_product_len > sizeof ev.device_product ||
        ev.device_version_len > sizeof ev.device_version ||
        ev.signature_id_len > sizeof ev.signature_id || ev.src_ip_len > sizeof ev.src_ip ||
        ev.dst_ip_len > sizeof ev.dst_ip || ev.protocol_len > sizeof ev.protocol ||
        ev.unifi_category_len > sizeof ev.unifi_category ||
        ev.unifi_subcategory_len > sizeof ev.unifi_subcategory ||
        ev.client_mac_len > sizeof ev.client_mac) {
        __builtin_trap();
    }
    (void)tarvex::ingest::cef::parseTimestampMs(text);
    return 0;
}
