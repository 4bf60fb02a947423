// cef.h: the Common Event Format (CEF) parser.
//
// Reads "CEF:Version|Vendor|Product|Version|SignatureID|Name|Severity|ext"
// (also when a syslog header comes before "CEF:") into a fixed-size
// CefEvent, with the extension keys security appliances and UniFi gateways
// send (src, dst, spt, dpt, proto, msg, rt, end, UNIFIcategory, cs1, ...).
// Header and extension values are stored as they stand: backslash escapes
// are not undone.
//
// Thread-safety: pure functions without shared state; the only side effect
// is the warning line for an unusable header, written through the locked
// process log. Nothing is allocated.
#pragma once

#include <optional>
#include <string_view>

#include "common/types.h"

namespace tarvex {

// One CEF record.
struct CefEvent {
    i64 timestamp;  // from rt, end or UNIFIutcTime; 0 when absent or unreadable
    u16 message_len;
    u16 dst_port;  // dpt
    u16 src_port;  // spt
    char signature_id[32];
    u8 device_vendor_len;
    u8 device_version_len;
    u8 device_product_len;
    u8 signature_id_len;
    char name[128];  // the event name
    u8 name_len;
    u8 severity;  // 0 when not a number from 0 to 255
    char src_ip[46];
    u8 src_ip_len;
    u8 version;
    u8 dst_ip_len;
    char device_product[64];
    char device_version[32];
    char protocol[16];
    u8 protocol_len;
    char message[512];  // msg
    char dst_ip[46];
    char unifi_category[32];  // UNIFIcategory or cs1
    u8 unifi_category_len;
    char unifi_subcategory[32];  // UNIFIsubCategory or cs2
    u8 unifi_subcategory_len;
    char client_mac[18];  // UNIFIclientMac or smac, as text
    u8 client_mac_len;
    char device_vendor[64];
    char request[256];  // request: a URL the event names
    u16 request_len;
    char file_hash[64];  // fileHash
    u8 file_hash_len;
    bool valid;  // the header was complete

    std::string_view getDeviceVendor() const { return {device_vendor, device_vendor_len}; }
    std::string_view getDeviceProduct() const { return {device_product, device_product_len}; }
    std::string_view getDeviceVersion() const { return {device_version, device_version_len}; }
    std::string_view getSignatureId() const { return {signature_id, signature_id_len}; }
    std::string_view getName() const { return {name, name_len}; }
    std::string_view getSrcIp() const { return {src_ip, src_ip_len}; }
    std::string_view getDstIp() const { return {dst_ip, dst_ip_len}; }
    std::string_view getProtocol() const { return {protocol, protocol_len}; }
    std::string_view getMessage() const { return {message, message_len}; }
    std::string_view getUnifiCategory() const { return {unifi_category, unifi_category_len}; }
    std::string_view getUnifiSubcategory() const {
        return {unifi_subcategory, unifi_subcategory_len};
    }
    std::string_view getClientMac() const { return {client_mac, client_mac_len}; }
    std::string_view getRequest() const { return {request, request_len}; }
    std::string_view getFileHash() const { return {file_hash, file_hash_len}; }
};

namespace ingest::cef {

// Parses one line. Never fails: an unusable header is logged (except an
// incomplete one, which is silent) and gives valid false.
CefEvent parse(std::string_view line);

// The header field at the front of `cursor`, up to the first '|' that is
// not escaped (escaped: preceded by an odd run of backslashes, so "\\|"
// ends a field whose last character is an escaped backslash); advances the
// cursor past that '|'. Nothing (and the cursor unchanged) when no such '|'
// follows.
std::optional<std::string_view> nextField(std::string_view& cursor);

// Fills `ev` from the key=value extension text.
void parseExtensions(std::string_view text, CefEvent& ev);

// A signed decimal count of milliseconds as whole seconds, rounded towards
// minus infinity; 0 when unreadable.
i64 parseTimestampMs(std::string_view text);

}  // namespace ingest::cef
}  // namespace tarvex
