// oui_registry.cpp: the hwdb lookup of vendor names.
#include "engine/oui_registry.h"

#include <systemd/sd-hwdb.h>

#include <cstring>

#include "common/log.h"
#include "common/mac.h"

namespace tarvex {

OuiRegistry::~OuiRegistry() {
    if (hwdb) sd_hwdb_unref(hwdb);
}

bool OuiRegistry::available() {
    if (!tried) {
        tried = true;
        const int r = sd_hwdb_new(&hwdb);
        if (r < 0) {
            hwdb = nullptr;
            logWarn("oui",
                    "systemd hardware database not available ({}): devices are shown without "
                    "vendor names",
                    std::string_view(std::strerror(-r)));
        }
    }
    return hwdb != nullptr;
}

std::string_view OuiRegistry::lookup(const u8 mac[6], char (&out)[kVendorCap]) {
    if (isLocallyAdministeredMac(mac) || !available()) return {};
    static constexpr char kHex[] = "0123456789ABCDEF";
    char modalias[17] = "OUI:";
    for (int i = 0; i < 6; ++i) {
        modalias[4 + 2 * i] = kHex[mac[i] >> 4];
        modalias[5 + 2 * i] = kHex[mac[i] & 15];
    }
    modalias[16] = '\0';
    const char* value = nullptr;
    if (sd_hwdb_get(hwdb, modalias, "ID_OUI_FROM_DATABASE", &value) < 0 || !value) return {};
    size_t n = std::strlen(value);
    if (n > kVendorCap) n = kVendorCap;
    std::memcpy(out, value, n);
    return {out, n};
}

}  // namespace tarvex
