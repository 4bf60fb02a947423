// fingerprint.h: device fingerprints and identification against profiles.
//
// FingerprintEngine keeps one DeviceFingerprint per hardware address seen,
// holding a ConceptVector that accumulates every observed fact (vendor
// prefix, DHCP host name and parameter list, vendor class, queried names,
// connection targets), and the table of built-in DeviceProfiles. A fact of
// type t with value x is encoded as bind(initFromSeed(hashToSeed(x)),
// roleVector(t)) and folded into the device's vector by a weighted bundle in
// which the newest fact replaces about 1/(n + 1) of the differing bits.
// `identify` picks the most similar profile vector; the pipeline labels
// devices by the rules of engine/identity.h instead and keeps the vectors
// for finding look-alike devices. observeFact folds a fact only once per
// device (a 512-bit filter of fact hashes), so repetition does not dilute.
//
// Devices are taken first-free up to the smaller of the configured limit and
// 4096 and never removed; an index by address keeps lookups off a scan. The
// weighted-bundle masks (one per signal count) are computed once by init().
//
// Valid when zero-filled; call init() before use. Not synchronised: the
// listener and restore threads write it under the engine state lock held
// exclusively; HTTP readers hold it shared.
#pragma once

#include <optional>
#include <string_view>

#include "common/slot_index.h"
#include "common/types.h"
#include "engine/concept_vector.h"

namespace tarvex {

constexpr u32 kMaxDevices = 4096;
constexpr u32 kMaxProfiles = 1024;
constexpr u32 kLabelCap = 64;
constexpr u32 kProfileNameCap = 64;
constexpr u32 kManufacturerCap = 32;
constexpr u32 kHostnameCap = 64;
constexpr u32 kVendorNameCap = 64;
constexpr u32 kVendorClassCap = 64;
constexpr u32 kUserKindCap = 32;
constexpr u32 kEvidenceCap = 160;
constexpr u32 kFactFilterWords = 8;  // 512 bits

// Similarity at which a profile is accepted, and the confidence at which its
// name becomes the device's label (similarity 0.685).
constexpr f32 kIdentifyThreshold = 0.55f;
constexpr f32 kLabelConfidence = 0.3f;

enum class SignalType : u8 {
    manufacturer = 0,
    dhcp_profile = 1,
    vendor_class = 2,
    hostname = 3,
    dns_behavior = 4,
    conn_behavior = 5,
    timing = 6,
};
constexpr u32 kSignalTypeCount = 7;

enum class DeviceCategory : u8 {
    workstation = 0,
    mobile = 1,
    iot = 2,
    network_equipment = 3,
    server = 4,
    unknown = 5,
};

// The enumerator name ("network_equipment"); "" for unknown values.
std::string_view categoryName(DeviceCategory c);

// 64-bit FNV-1a of the bytes; the seed of a fact's value vector.
constexpr u64 hashToSeed(std::string_view bytes) {
    u64 h = 0xCBF29CE484222325ull;
    for (char c : bytes) {
        h ^= static_cast<u8>(c);
        h *= 0x100000001B3ull;
    }
    return h;
}

// The fixed role vector of a signal type (built once, then shared).
const ConceptVector& roleVector(SignalType type);

// The encoding of one fact: bind(initFromSeed(hashToSeed(value)), role).
ConceptVector encodeSignal(SignalType type, std::string_view value);

struct DeviceFingerprint {
    ConceptVector vector;
    i64 first_seen;  // 0 = never observed
    i64 last_seen;
    f32 confidence;  // of the latest successful identification
    u8 mac[6];
    u8 signal_count;  // saturating at 255
    char label[kLabelCap];
    u8 label_len;
    bool active;
    bool restored;  // brought back from the database at start (never alerts as new)

    // What identification knows (engine/identity.h): the latest host name,
    // the vendor of the address prefix, the latest DHCP vendor class, the
    // operating-system traits and the rule domains seen, the profile chosen
    // (index + 1 in the built-in table, 0 none) and the facts that decided.
    char hostname[kHostnameCap];
    u8 hostname_len;
    u8 vendor_len;
    u8 vendor_class_len;
    u8 evidence_len;
    char vendor[kVendorNameCap];
    char vendor_class[kVendorClassCap];
    char evidence[kEvidenceCap];
    u16 traits;
    u16 profile;
    u64 domain_marks[2];
    // The user's correction (PUT /api/devices/:id): shown instead of the
    // guess and never touched by identification. `user_known` says the
    // record holds the database's word on it (restored, or set here), so a
    // row written before the restore cannot clear a stored override.
    char user_name[kLabelCap];
    u8 user_name_len;
    u8 user_kind_len;
    bool user_known;
    bool vendor_known;  // the vendor lookup was made
    char user_kind[kUserKindCap];
    // The facts already folded into `vector` (a 512-bit filter of their
    // hashes): a repeated fact is not folded again.
    u64 facts[kFactFilterWords];
    // Randomised addresses folded into this record by host name: the
    // latest one and when it was last heard from.
    u8 alias_mac[6];
    i64 alias_seen;

    std::string_view getLabel() const { return {label, label_len}; }
    std::string_view getHostname() const { return {hostname, hostname_len}; }
    std::string_view getVendor() const { return {vendor, vendor_len}; }
    std::string_view getVendorClass() const { return {vendor_class, vendor_class_len}; }
    std::string_view getEvidence() const { return {evidence, evidence_len}; }
    std::string_view getUserName() const { return {user_name, user_name_len}; }
    std::string_view getUserKind() const { return {user_kind, user_kind_len}; }
    // The user's name when set, else the label.
    std::string_view displayLabel() const { return user_name_len ? getUserName() : getLabel(); }
    // Stores at most 64 bytes.
    void setLabel(std::string_view text);
};

struct DeviceProfile {
    ConceptVector vector;
    char name[kProfileNameCap];
    u8 name_len;
    DeviceCategory category;
    char manufacturer[kManufacturerCap];
    u8 manufacturer_len;

    std::string_view getName() const { return {name, name_len}; }
    std::string_view getManufacturer() const { return {manufacturer, manufacturer_len}; }
    static DeviceProfile zeroed() { return DeviceProfile{}; }
};

struct IdentifyResult {
    u32 profile_idx;
    f32 confidence;
    DeviceCategory category;
};

struct FingerprintEngine {
    DeviceFingerprint devices[kMaxDevices];
    DeviceProfile profiles[kMaxProfiles];
    u32 device_count;  // slots used; never decreases
    u32 profile_count;
    u32 device_limit;  // configured maximum; the table bounds it at 4096

    // Sets the device limit and computes the weighted-bundle masks.
    void init(u32 max_devices);

    // The active device with this address, or nullptr.
    DeviceFingerprint* findDevice(const u8 mac[6]);
    const DeviceFingerprint* findDevice(const u8 mac[6]) const;
    // The device, created in the next slot when there is room; nullptr (with
    // a warning) at the device limit.
    DeviceFingerprint* getOrCreateDevice(const u8 mac[6]);
    // Folds one observation into the device (created if needed).
    void observeSignal(const u8 mac[6], SignalType type, std::string_view value);
    // Folds a fact into the device unless it was folded before (the fact
    // filter); `times` > 1 folds a new fact that many times. True when new.
    bool observeFact(DeviceFingerprint& d, SignalType type, std::string_view value, u32 times = 1);
    // The most similar profile (lowest index on a tie) when its similarity is
    // at least 0.55, with confidence (s - 0.55) / 0.45; nothing otherwise.
    std::optional<IdentifyResult> identify(const DeviceFingerprint& device) const;
    // Identifies the device and applies the result: stores the confidence
    // and, at confidence 0.3 or more, gives an unlabelled device the
    // profile's name. Nothing happens for an unknown address or no profiles.
    std::optional<IdentifyResult> tryIdentifyDevice(const u8 mac[6]);
    // Stores a profile in the next slot; false (logged) when the table is full.
    bool addProfile(std::string_view name, std::string_view manufacturer, DeviceCategory category,
                    const ConceptVector& vector);

    // The usable number of device slots.
    u32 deviceCapacity() const { return device_limit < kMaxDevices ? device_limit : kMaxDevices; }

    // Private representation: the address index and, for each signal count
    // n (1..255), the bits a new fact takes over when the vectors differ.
    SlotIndex<kMaxDevices * 2> mac_index;
    // The weighted bundle of one fact into the record (observeSignal's step).
    void foldSignal(DeviceFingerprint& d, SignalType type, std::string_view value);
    ConceptVector bundle_masks[256];
};

}  // namespace tarvex
