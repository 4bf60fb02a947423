// identity.h: what a device is, decided by rules over the facts it shows.
//
// The concept vector of a device (fingerprint.h) is kept for finding
// look-alike devices (/api/devices/:id/similar); the label comes from here.
// Each fact that is new for a device is first reduced to what the rules
// read: the latest host name, the vendor name of the address prefix (from
// the hardware database, once per device), the latest DHCP vendor class, the
// operating-system traits shown by the DHCP parameter-request list, the
// vendor class or a connectivity check, and which rule domains (a profile's
// cloud or update domains, matched on the name itself or any name under it)
// the device has queried. `identify` then scores every built-in profile
// (profiles.h) and takes the best when it is clearly ahead:
//
//   host-name pattern fits                +4
//   one of the profile's domains queried  +3
//   vendor-class beginning fits           +3
//   vendor word fits                      +2 (+4 when the vendor decides)
//   vendor known and none of its words    -3
//   an operating-system trait fits        +2
//   traits known and none fits            -3
//
// A profile marked needs_name scores nothing until a host name or domain of
// its own fits. The best profile labels the device when it scores at least
// 4 and at least 2 more than the runner-up; otherwise the device keeps what
// it had (a tie is no evidence, and a wrong label is worse than none). A
// later, qualifying verdict replaces the label. Confidence is score / 10,
// at most 1.
//
// Not synchronised: the listener and the restore change records with the
// engine state lock held exclusively.
#pragma once

#include <string_view>

#include "engine/fingerprint.h"

namespace tarvex::identity {

constexpr i32 kMinScore = 4;
constexpr i32 kMinLead = 2;

// Each returns true when what the rules read changed.
bool noteHostname(DeviceFingerprint& d, std::string_view name);
bool noteVendor(DeviceFingerprint& d, std::string_view vendor);
bool noteVendorClass(DeviceFingerprint& d, std::string_view vendor_class);
// A parameter-request list as comma-separated option numbers ("1,3,6,15").
bool noteOptions(DeviceFingerprint& d, std::string_view list);
bool noteDomain(DeviceFingerprint& d, std::string_view name);

// The operating-system traits of an option-55 list (0 for an unknown one).
u16 optionListTraits(std::string_view list);

struct Verdict {
    i32 profile;  // index in builtinProfileDefs(), -1 when none qualifies
    i32 score;
    i32 runner_up;
};

// Scores the profiles for the device; writes the deciding facts of the best
// into `evidence` when given.
Verdict evaluate(const DeviceFingerprint& d, char (*evidence)[kEvidenceCap] = nullptr,
                 u8* evidence_len = nullptr);

// Runs the rules and applies a qualifying verdict (label, confidence,
// profile, evidence). True when the label changed.
bool identify(DeviceFingerprint& d);

// The user's kind when set, else the identified profile's kind, else "".
std::string_view kindOf(const DeviceFingerprint& d);

// Case-insensitive pattern test of the profile rules: "^x" begins with x,
// "x$" ends with x ("^x$" is the whole name), else x anywhere; `patterns`
// is "|"-separated and lower case.
bool matchesAny(std::string_view text, std::string_view patterns);

}  // namespace tarvex::identity
