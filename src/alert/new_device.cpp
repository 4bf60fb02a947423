// new_device.cpp: the texts of the new-device alert.
#include "alert/new_device.h"

namespace tarvex {

void formatNewDeviceAlert(const NewDeviceFacts& f, FixedText<128>& title,
                          FixedText<512>& description, FixedText<2048>& evidence) {
    const MacText mac = macToString(f.mac);
    const std::string_view name = f.hostname_len ? f.getHostname() : mac.view();
    title.append("New device: ");
    title.append(name);
    if (f.vendor_len && f.hostname_len) {
        formatInto(title, " (vendor {}, MAC {})", f.getVendor(), mac.view());
    } else if (f.vendor_len) {
        formatInto(title, " (vendor {})", f.getVendor());
    } else if (f.hostname_len) {
        formatInto(title, " (MAC {})", mac.view());
    }

    formatInto(description, "A device not seen before joined the network: {}.", name);

    formatInto(evidence, "A device not seen before joined the network: {}.\n\n", name);
    formatInto(evidence, "MAC: {}\n", mac.view());
    if (f.hostname_len) formatInto(evidence, "Host name: {}\n", f.getHostname());
    if (f.vendor_len) formatInto(evidence, "Vendor: {}\n", f.getVendor());
    if (f.address_len) formatInto(evidence, "Address: {}\n", f.getAddress());
    formatInto(evidence, "First seen in: {}\n", f.via ? f.via : "");
    if (f.dhcp_params_len) formatInto(evidence, "DHCP parameter list: {}\n", f.getDhcpParams());
    if (f.vendor_class_len) formatInto(evidence, "Vendor class: {}\n", f.getVendorClass());
    if (f.folded) {
        formatInto(evidence,
                   "Randomised MAC: the device is known by its host name (key {}), so a new "
                   "random address does not alert again.\n",
                   macToString(f.key.b).view());
    }
}

}  // namespace tarvex
