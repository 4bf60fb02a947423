// new_device.h: what the new-device alert says about a device.
//
// NewDeviceFacts are the first facts the pipeline learns about a device key
// it has never held (the DHCP or firewall handler fills them); the pipeline
// keeps a few while the restore has not said whether the key is known, and
// turns them into one low-severity alert with formatNewDeviceAlert. The
// vendor is the registry's vendor name, or the address prefix without one;
// whatever fills `vendor` is what the alert shows.
//
// Plain data, no allocation; used on the listener thread only.
#pragma once

#include <string_view>

#include "common/format.h"
#include "common/mac.h"
#include "common/types.h"

namespace tarvex {

struct NewDeviceFacts {
    i64 seen_at;
    MacAddr key;      // the device table's key (a host-name key for a randomised MAC)
    u8 mac[6];        // the hardware address seen
    bool folded;      // the key was derived from the host name
    const char* via;  // the kind of record that showed it first ("DHCP", ...)
    char hostname[64];
    u8 hostname_len;
    char vendor[64];
    u8 vendor_len;
    char address[46];
    u8 address_len;
    char dhcp_params[128];
    u8 dhcp_params_len;
    char vendor_class[64];
    u8 vendor_class_len;

    std::string_view getHostname() const { return {hostname, hostname_len}; }
    std::string_view getVendor() const { return {vendor, vendor_len}; }
    std::string_view getAddress() const { return {address, address_len}; }
    std::string_view getDhcpParams() const { return {dhcp_params, dhcp_params_len}; }
    std::string_view getVendorClass() const { return {vendor_class, vendor_class_len}; }
};

// Title ("New device: phone (vendor 3C:22:FB, MAC 3C:22:FB:12:34:56)"),
// description and evidence of the alert, each cut to its buffer.
void formatNewDeviceAlert(const NewDeviceFacts& f, FixedText<128>& title,
                          FixedText<512>& description, FixedText<2048>& evidence);

}  // namespace tarvex
