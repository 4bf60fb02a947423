// oui_registry.h: vendor names of hardware-address prefixes from systemd's
// hardware database.
//
// Debian machines with udev have systemd's copy of the IEEE registry (about
// 49,000 prefixes of 24, 28 and 36 bits, /usr/lib/udev/hwdb.bin). OuiRegistry opens
// it once, on the first lookup, through libsystemd (sd_hwdb_new) and asks it
// with the modalias "OUI:" + the twelve hexadecimal digits of the address: the
// database's patterns are prefixes of 6, 7 or 9 digits followed by "*", and
// where a 36- or 28-bit block lies inside a 24-bit one the longer prefix
// wins (it is the later entry of the sorted database). Without the database
// (another distribution, a stripped container) it says so once and every
// lookup answers nothing.
//
// Not synchronised: the sd_hwdb handle is not thread-safe; the listener and
// the restore call it with the engine state lock held exclusively.
#pragma once

#include <string_view>

#include "common/types.h"

struct sd_hwdb;

namespace tarvex {

constexpr u32 kVendorCap = 64;

struct OuiRegistry {
    sd_hwdb* hwdb = nullptr;
    bool tried = false;  // opening was attempted (it is tried once)

    OuiRegistry() = default;
    ~OuiRegistry();
    OuiRegistry(const OuiRegistry&) = delete;
    OuiRegistry& operator=(const OuiRegistry&) = delete;

    // Opens the database on first use; false (logged once) without it.
    bool available();
    // The vendor name of the address's prefix, copied into out (at most
    // kVendorCap bytes); empty for an unknown prefix, a locally administered
    // address or without the database.
    std::string_view lookup(const u8 mac[6], char (&out)[kVendorCap]);
};

}  // namespace tarvex
