// profiles.h: the built-in device profiles.
//
// Each ProfileDef lists the signals typical of one kind of device and the
// identification rules of engine/identity.h; at start the table is turned
// into DeviceProfiles of the fingerprint engine, each the majority bundle of
// its signals' encodings (the rules are read from the table itself).
// Loaded once before any event and never changed afterwards.
#pragma once

#include <span>
#include <string_view>

#include "engine/concept_vector.h"
#include "engine/fingerprint.h"

namespace tarvex {

struct Signal {
    std::string_view value;
    SignalType type;
};

// The identification rules of a profile (see engine/identity.h): lists are
// "|"-separated and compared without regard to letter case.
//   kind            what the dashboard calls such a device ("phone", "printer")
//   vendors         words of the hardware database's vendor name
//   vendor_decides  the maker makes (almost) only this kind of networked thing
//   hostnames       host-name patterns: "^x" the name starts with x, else x
//                   anywhere in it; hostnames_not: patterns that rule it out
//   domains         queried names: the name itself or any name under it
//   vendor_classes  beginnings of the DHCP vendor class (option 60)
//   traits          operating systems / DHCP stacks that fit (kTrait*)
//   needs_name      a look-alike of a broader profile (Windows Laptop beside
//                   Windows PC): its other rules count only with a name or domain
struct ProfileDef {
    std::string_view name;
    std::string_view manufacturer;
    std::span<const Signal> signals;
    DeviceCategory category;
    std::string_view kind = "";
    std::string_view vendors = "";
    bool vendor_decides = false;
    std::string_view hostnames = "";
    std::string_view hostnames_not = "";
    std::string_view domains = "";
    std::string_view vendor_classes = "";
    u16 traits = 0;
    bool needs_name = false;  // scores only once a host-name pattern or domain fits
};

// Operating systems and DHCP stacks, as DHCP requests and queried names show
// them.
constexpr u16 kTraitWindows = 1u << 0;
constexpr u16 kTraitMacos = 1u << 1;
constexpr u16 kTraitIos = 1u << 2;  // iOS, iPadOS, tvOS, audioOS
constexpr u16 kTraitAndroid = 1u << 3;
constexpr u16 kTraitLinux = 1u << 4;     // desktop and server Linux clients
constexpr u16 kTraitEmbedded = 1u << 5;  // busybox udhcpc, lwIP and similar small stacks
constexpr u16 kTraitApple = 1u << 6;     // some Apple system (its captive-portal check)

// At most this many signals of a definition are bundled.
constexpr size_t kMaxProfileSignals = 16;

// The built-in definitions, in table order.
std::span<const ProfileDef> builtinProfileDefs();

// The majority bundle of the encodings of the first 16 signals (zero vector
// for none, the single encoding for one).
ConceptVector buildVector(std::span<const Signal> signals);

// Adds every definition of `defs` to the engine, skipping those that do not
// fit (logged), logs the total and returns the number added.
u32 loadProfiles(FingerprintEngine& engine, std::span<const ProfileDef> defs);

// loadProfiles of the built-in table.
u32 loadBuiltinProfiles(FingerprintEngine& engine);

}  // namespace tarvex
