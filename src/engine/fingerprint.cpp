// fingerprint.cpp: device table, weighted bundling and identification.
#include "engine/fingerprint.h"

#include <cstring>
#include <utility>

#include "common/clock.h"
#include "common/log.h"
#include "common/text.h"

namespace tarvex {

namespace {

// Seeds of the seven role vectors: the first eight letters of each signal
// type's name read as a big-endian number ("manufact", "dhcp_pro", ...).
constexpr u64 kRoleSeeds[kSignalTypeCount] = {
    0x6D616E7566616374ull,  // manufact
    0x646863705F70726Full,  // dhcp_pro
    0x76656E646F725F63ull,  // vendor_c
    0x686F73746E616D65ull,  // hostname
    0x646E735F62656861ull,  // dns_beha
    0x636F6E6E5F626568ull,  // conn_beh
    0x74696D696E670000ull,  // timing
};

// Multiplier that spreads bit positions over the generator's input.
constexpr u64 kBitPositionSpread = 0x517CC1B727220A95ull;

struct RoleTable {
    ConceptVector v[kSignalTypeCount];
    RoleTable() {
        for (u32 t = 0; t < kSignalTypeCount; ++t)
            v[t] = ConceptVector::initFromSeed(kRoleSeeds[t]);
    }
};

u64 macHash(const u8 mac[6]) {
    u64 k = 0;
    std::memcpy(&k, mac, 6);
    return mixHash(k);
}

}  // namespace

std::string_view categoryName(DeviceCategory c) {
    switch (c) {
        case DeviceCategory::workstation:
            return "workstation";
        case DeviceCategory::mobile:
            return "mobile";
        case DeviceCategory::iot:
            return "iot";
        case DeviceCategory::network_equipment:
            return "network_equipment";
        case DeviceCategory::server:
            return "server";
        case DeviceCategory::unknown:
            return "unknown";
    }
    return "";
}

const ConceptVector& roleVector(SignalType type) {
    static const RoleTable table;
    return table.v[static_cast<u32>(type) % kSignalTypeCount];
}

ConceptVector encodeSignal(SignalType type, std::string_view value) {
    return ConceptVector::bind(ConceptVector::initFromSeed(hashToSeed(value)), roleVector(type));
}

void DeviceFingerprint::setLabel(std::string_view text) {
    copyBounded(label, label_len, text);
}

void FingerprintEngine::init(u32 max_devices) {
    device_limit = max_devices;
    // Whether bit k takes the new fact at signal count n depends only on k
    // and n: h_k mod (n + 1) == 0 with h_k fixed per position.
    for (u32 k = 0; k < kVectorBits; ++k) {
        const u64 h = splitmixOnce(static_cast<u64>(k) * kBitPositionSpread);
        for (u32 n = 1; n <= 255; ++n) {
            if (h % (n + 1) == 0) bundle_masks[n].words[k / 64] |= u64{1} << (k % 64);
        }
    }
    (void)roleVector(SignalType::manufacturer);  // build the role table before any thread runs
}

const DeviceFingerprint* FingerprintEngine::findDevice(const u8 mac[6]) const {
    const u32 slot = mac_index.find(macHash(mac), [&](u32 s) {
        return devices[s].active && std::memcmp(devices[s].mac, mac, 6) == 0;
    });
    return slot == kNoSlot ? nullptr : &devices[slot];
}

DeviceFingerprint* FingerprintEngine::findDevice(const u8 mac[6]) {
    return const_cast<DeviceFingerprint*>(std::as_const(*this).findDevice(mac));
}

DeviceFingerprint* FingerprintEngine::getOrCreateDevice(const u8 mac[6]) {
    if (DeviceFingerprint* d = findDevice(mac)) return d;
    if (device_count >= deviceCapacity()) {
        static LogLimit limit;
        logWarnLimited(limit, "fingerprint", "device limit reached ({}/{}), cannot add new device",
                       device_count, device_limit);
        return nullptr;
    }
    const u32 slot = device_count;
    DeviceFingerprint& d = devices[slot];
    d = DeviceFingerprint{};
    std::memcpy(d.mac, mac, 6);
    d.active = true;
    ++device_count;
    mac_index.insert(macHash(mac), slot, [&](u32 s) {
        return devices[s].active && std::memcmp(devices[s].mac, mac, 6) == 0;
    });
    return &d;
}

bool FingerprintEngine::observeFact(DeviceFingerprint& d, SignalType type, std::string_view value,
                                    u32 times) {
    const u64 h = mixHash(hashToSeed(value) ^ (static_cast<u64>(type) + 1) * kSplitMixGamma);
    const u32 b1 = static_cast<u32>(h & 511);
    const u32 b2 = static_cast<u32>((h >> 9) & 511);
    const u64 m1 = u64{1} << (b1 % 64);
    const u64 m2 = u64{1} << (b2 % 64);
    if ((d.facts[b1 / 64] & m1) && (d.facts[b2 / 64] & m2)) {
        d.last_seen = wallSeconds();
        return false;
    }
    d.facts[b1 / 64] |= m1;
    d.facts[b2 / 64] |= m2;
    for (u32 i = 0; i < times; ++i) foldSignal(d, type, value);
    return true;
}

void FingerprintEngine::observeSignal(const u8 mac[6], SignalType type, std::string_view value) {
    DeviceFingerprint* d = getOrCreateDevice(mac);
    if (!d) return;
    foldSignal(*d, type, value);
}

void FingerprintEngine::foldSignal(DeviceFingerprint& dev, SignalType type,
                                   std::string_view value) {
    DeviceFingerprint* d = &dev;
    const ConceptVector& role = roleVector(type);
    u64 state = hashToSeed(value);
    if (d->signal_count == 0) {
        for (u32 i = 0; i < kVectorWords; ++i)
            d->vector.words[i] = splitmix64(state) ^ role.words[i];
        d->signal_count = 1;
    } else {
        // Weighted bundle: among the bits where the device and the fact
        // differ, those in the mask for the current count take the fact's.
        const ConceptVector& mask = bundle_masks[d->signal_count];
        for (u32 i = 0; i < kVectorWords; ++i) {
            const u64 fact = splitmix64(state) ^ role.words[i];
            const u64 old = d->vector.words[i];
            d->vector.words[i] = old ^ ((old ^ fact) & mask.words[i]);
        }
        if (d->signal_count < 255) ++d->signal_count;
    }
    const i64 now = wallSeconds();
    d->last_seen = now;
    if (d->first_seen == 0) d->first_seen = now;
}

std::optional<IdentifyResult> FingerprintEngine::identify(const DeviceFingerprint& device) const {
    if (profile_count == 0) return std::nullopt;
    u32 best_idx = 0;
    f32 best = -1.0f;
    for (u32 i = 0; i < profile_count && i < kMaxProfiles; ++i) {
        const f32 s = ConceptVector::similarity(device.vector, profiles[i].vector);
        if (s > best) {
            best = s;
            best_idx = i;
        }
    }
    if (best < kIdentifyThreshold) return std::nullopt;
    const f32 confidence = (best - kIdentifyThreshold) / 0.45f;
    return IdentifyResult{best_idx, confidence, profiles[best_idx].category};
}

std::optional<IdentifyResult> FingerprintEngine::tryIdentifyDevice(const u8 mac[6]) {
    DeviceFingerprint* d = findDevice(mac);
    if (!d || profile_count == 0) return std::nullopt;
    std::optional<IdentifyResult> r = identify(*d);
    if (!r) return r;
    d->confidence = r->confidence;
    if (r->confidence >= kLabelConfidence && d->label_len == 0)
        d->setLabel(profiles[r->profile_idx].getName());
    return r;
}

bool FingerprintEngine::addProfile(std::string_view name, std::string_view manufacturer,
                                   DeviceCategory category, const ConceptVector& vector) {
    if (profile_count >= kMaxProfiles) {
        logWarn("fingerprint", "profile table full ({} entries), cannot add profile", kMaxProfiles);
        return false;
    }
    DeviceProfile& p = profiles[profile_count];
    p = DeviceProfile{};
    p.vector = vector;
    copyBounded(p.name, p.name_len, name);
    p.category = category;
    copyBounded(p.manufacturer, p.manufacturer_len, manufacturer);
    ++profile_count;
    return true;
}

}  // namespace tarvex
