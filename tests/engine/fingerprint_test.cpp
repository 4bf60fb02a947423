// fingerprint_test.cpp: device records, weighted bundling, identification
// and the built-in profiles.
#include "engine/fingerprint.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/fingerprint_reference.h"
#include "engine/numbered.h"
#include "engine/profiles.h"
#include "engine/table_ptr.h"
#include "support/log_capture.h"

namespace tarvex {
namespace {

using test::LogCapture;
using test::makeTable;
using test::TablePtr;

struct Mac {
    u8 b[6];
};
Mac macOf(u32 i) {
    return Mac{
        {0x3C, 0x22, 0xFB, static_cast<u8>(i >> 16), static_cast<u8>(i >> 8), static_cast<u8>(i)}};
}

TablePtr<FingerprintEngine> makeEngine(u32 limit) {
    auto e = makeTable<FingerprintEngine>();
    e->init(limit);
    return e;
}

// Flips the first `bits` bits of v.
ConceptVector flipped(ConceptVector v, u32 bits) {
    for (u32 k = 0; k < bits; ++k) v.words[k / 64] ^= u64{1} << (k % 64);
    return v;
}

TEST(Fingerprint, HashToSeedIsFnv1a) {
    EXPECT_EQ(hashToSeed(""), 0xCBF29CE484222325ull) << "empty value: the offset basis";
    EXPECT_EQ(hashToSeed("a"), 0xAF63DC4C8601EC8Cull);
    EXPECT_EQ(hashToSeed("foobar"), 0x85944171F73967E8ull);
}

TEST(Fingerprint, RoleVectorsAreFixedAndUnrelated) {
    for (u32 t = 0; t < kSignalTypeCount; ++t) {
        const ConceptVector& r = roleVector(static_cast<SignalType>(t));
        EXPECT_NEAR(ConceptVector::similarity(r, ConceptVector::zero()), 0.5f, 0.03f) << t;
        for (u32 u = 0; u < t; ++u)
            EXPECT_NEAR(ConceptVector::similarity(r, roleVector(static_cast<SignalType>(u))), 0.5f,
                        0.03f)
                << t << " vs " << u;
    }
    // The same value under two roles encodes differently; exact bytes only.
    EXPECT_NEAR(ConceptVector::similarity(encodeSignal(SignalType::hostname, "printer"),
                                          encodeSignal(SignalType::dns_behavior, "printer")),
                0.5f, 0.03f);
    EXPECT_NEAR(ConceptVector::similarity(encodeSignal(SignalType::hostname, "DESKTOP-"),
                                          encodeSignal(SignalType::hostname, "DESKTOP-4F2A")),
                0.5f, 0.03f)
        << "no prefix matching";
}

TEST(Fingerprint, FirstObservationIsTheEncoding) {
    auto e = makeEngine(200);
    const Mac m = macOf(1);
    e->observeSignal(m.b, SignalType::hostname, "macbook");
    const DeviceFingerprint* d = e->findDevice(m.b);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->vector, ConceptVector::bind(ConceptVector::initFromSeed(hashToSeed("macbook")),
                                             roleVector(SignalType::hostname)));
    EXPECT_EQ(d->signal_count, 1);
    EXPECT_GT(d->first_seen, 0);
    EXPECT_EQ(d->first_seen, d->last_seen);
    EXPECT_EQ(e->device_count, 1u);
}

// The engine's precomputed masks against the per-bit rule, over devices
// that run far past the saturating count of 255.
TEST(Fingerprint, WeightedBundleMatchesPerBitRule) {
    auto e = makeEngine(4096);
    constexpr u32 kDevices = 6;
    ConceptVector want[kDevices] = {};
    u32 count[kDevices] = {};
    std::mt19937_64 rng(42);
    u32 ops = 0;
    for (; ops < 12000; ++ops) {
        const u32 dev = ops < 3000 ? static_cast<u32>(rng() % kDevices) : 0;  // device 0 saturates
        const SignalType type = static_cast<SignalType>(rng() % kSignalTypeCount);
        const std::string value = test::numbered("value-", rng() % 500);
        const Mac m = macOf(dev);
        e->observeSignal(m.b, type, value);

        const ConceptVector fact =
            ConceptVector::bind(ConceptVector::initFromSeed(hashToSeed(value)), roleVector(type));
        if (count[dev] == 0) {
            want[dev] = fact;
        } else {
            test::referenceWeightedBundle(want[dev], fact, count[dev]);
        }
        count[dev] = std::min(count[dev] + 1, 255u);

        const DeviceFingerprint* d = e->findDevice(m.b);
        ASSERT_NE(d, nullptr);
        ASSERT_EQ(d->signal_count, count[dev]) << "op " << ops;
        ASSERT_EQ(d->vector, want[dev]) << "op " << ops << " count " << count[dev];
    }
    EXPECT_EQ(e->findDevice(macOf(0).b)->signal_count, 255) << "saturates, never wraps";
}

TEST(Fingerprint, DeviceLimit) {
    struct Case {
        const char* rule;
        u32 limit;
        u32 capacity;
        const char* warning;
    };
    const Case cases[] = {
        {"the configured limit bounds the table", 200, 200,
         "warning(fingerprint): device limit reached (200/200), cannot add new device"},
        {"a limit above 4096 behaves as 4096", 100000, 4096,
         "warning(fingerprint): device limit reached (4096/100000), cannot add new device"},
        {"limit 0 takes no device", 0, 0,
         "warning(fingerprint): device limit reached (0/0), cannot add new device"},
    };
    for (const Case& c : cases) {
        auto e = makeEngine(c.limit);
        for (u32 i = 0; i < c.capacity; ++i) {
            const Mac m = macOf(i);
            e->observeSignal(m.b, SignalType::manufacturer, "3C:22:FB");
        }
        LogCapture logs;
        const Mac extra = macOf(c.capacity);
        e->observeSignal(extra.b, SignalType::manufacturer, "3C:22:FB");
        EXPECT_EQ(e->findDevice(extra.b), nullptr) << c.rule;
        EXPECT_EQ(e->getOrCreateDevice(extra.b), nullptr) << c.rule;
        EXPECT_EQ(logs.lines(), std::vector<std::string>(1, c.warning))
            << c.rule << ": refusals are logged at most once a second";
        EXPECT_EQ(e->device_count, c.capacity) << c.rule;
        logs.clear();
        for (u32 i = 0; i < c.capacity; ++i) {
            const Mac m = macOf(i);
            e->observeSignal(m.b, SignalType::hostname, "known");
            const DeviceFingerprint* d = e->findDevice(m.b);
            ASSERT_NE(d, nullptr) << c.rule << " device " << i;
            ASSERT_EQ(d - e->devices, static_cast<long>(i)) << "slots in order of arrival";
            ASSERT_EQ(d->signal_count, 2) << c.rule;
        }
        EXPECT_TRUE(logs.lines().empty()) << c.rule << ": known devices keep working";
    }
}

struct IdentifyFixture {
    TablePtr<FingerprintEngine> e = makeEngine(200);
    Mac m = macOf(9);
    ConceptVector dv;
    IdentifyFixture() {
        e->observeSignal(m.b, SignalType::hostname, "device");
        dv = e->findDevice(m.b)->vector;
    }
};

TEST(Fingerprint, IdentifyThresholds) {
    // Similarity 1 - d / 10048: d = 4521 is the lowest above 0.55, d = 3165
    // the last at or above 0.685.
    struct Case {
        const char* rule;
        u32 distance;
        bool accepted;
        bool labelled;
    };
    const Case cases[] = {
        {"identical vector: confidence 1, labelled", 0, true, true},
        {"similarity 0.68501 reaches the label confidence", 3165, true, true},
        {"similarity 0.68491 is accepted without a label", 3166, true, false},
        {"similarity 0.55005 is accepted", 4521, true, false},
        {"similarity 0.54996 is refused", 4522, false, false},
    };
    for (const Case& c : cases) {
        IdentifyFixture f;
        f.e->addProfile("Thing", "Maker", DeviceCategory::iot, flipped(f.dv, c.distance));
        const auto r = f.e->tryIdentifyDevice(f.m.b);
        const DeviceFingerprint* d = f.e->findDevice(f.m.b);
        EXPECT_EQ(r.has_value(), c.accepted) << c.rule;
        const f32 s = 1.0f - static_cast<f32>(c.distance) / 10048.0f;
        if (c.accepted) {
            EXPECT_FLOAT_EQ(r->confidence, (s - 0.55f) / 0.45f) << c.rule;
            EXPECT_EQ(d->confidence, r->confidence) << c.rule;
            EXPECT_EQ(r->category, DeviceCategory::iot);
        } else {
            EXPECT_EQ(d->confidence, 0.0f) << c.rule;
        }
        EXPECT_EQ(d->getLabel(), c.labelled ? "Thing" : "") << c.rule;
    }
}

TEST(Fingerprint, IdentifyPicksLowestIndexOnTieAndKeepsLabels) {
    IdentifyFixture f;
    f.e->addProfile("Far", "X", DeviceCategory::server, flipped(f.dv, 5000));
    f.e->addProfile("First", "X", DeviceCategory::mobile, flipped(f.dv, 100));
    ConceptVector same_distance = f.dv;  // 100 other bits
    for (u32 k = 200; k < 300; ++k) same_distance.words[k / 64] ^= u64{1} << (k % 64);
    f.e->addProfile("Second", "X", DeviceCategory::iot, same_distance);
    auto r = f.e->tryIdentifyDevice(f.m.b);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->profile_idx, 1u) << "a later profile must be strictly more similar";
    EXPECT_EQ(r->category, DeviceCategory::mobile);
    EXPECT_EQ(f.e->findDevice(f.m.b)->getLabel(), "First");

    // A better match later never replaces the label, but updates confidence.
    f.e->addProfile("Exact", "X", DeviceCategory::workstation, f.dv);
    r = f.e->tryIdentifyDevice(f.m.b);
    EXPECT_EQ(r->profile_idx, 3u);
    EXPECT_EQ(f.e->findDevice(f.m.b)->confidence, 1.0f);
    EXPECT_EQ(f.e->findDevice(f.m.b)->getLabel(), "First") << "labels are never replaced";
}

TEST(Fingerprint, IdentifyWithoutDeviceOrProfilesChangesNothing) {
    IdentifyFixture f;
    EXPECT_FALSE(f.e->tryIdentifyDevice(f.m.b).has_value()) << "no profiles loaded";
    f.e->addProfile("Thing", "X", DeviceCategory::iot, f.dv);
    const Mac unknown = macOf(77);
    EXPECT_FALSE(f.e->tryIdentifyDevice(unknown.b).has_value()) << "unknown address";
    EXPECT_EQ(f.e->device_count, 1u) << "identification creates no device";
    // A miss keeps the previous confidence.
    ASSERT_TRUE(f.e->tryIdentifyDevice(f.m.b).has_value());
    f.e->profiles[0].vector = flipped(f.dv, 6000);
    EXPECT_FALSE(f.e->tryIdentifyDevice(f.m.b).has_value());
    EXPECT_EQ(f.e->findDevice(f.m.b)->confidence, 1.0f);
}

TEST(Profiles, BuiltinTableLoadsInOrder) {
    auto e = makeEngine(200);
    LogCapture logs;
    EXPECT_EQ(loadBuiltinProfiles(*e), builtinProfileDefs().size());
    EXPECT_TRUE(logs.has("info(profiles): loaded 58 built-in device profiles"));
    EXPECT_EQ(builtinProfileDefs().size(), 58u) << "the first 27, then the kinds they missed";
    struct Row {
        u32 idx;
        const char* name;
        const char* maker;
        DeviceCategory cat;
    };
    const Row rows[] = {
        {0, "UniFi Gateway", "Ubiquiti", DeviceCategory::network_equipment},
        {4, "MacBook / iMac", "Apple", DeviceCategory::workstation},
        {5, "iPhone", "Apple", DeviceCategory::mobile},
        {10, "Windows Server", "Microsoft", DeviceCategory::server},
        {20, "Ring Doorbell", "Amazon", DeviceCategory::iot},
        {24, "Raspberry Pi", "Raspberry Pi", DeviceCategory::server},
        {26, "VMware Virtual Machine", "VMware", DeviceCategory::server},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(e->profiles[r.idx].getName(), r.name);
        EXPECT_EQ(e->profiles[r.idx].getManufacturer(), r.maker) << r.name;
        EXPECT_EQ(e->profiles[r.idx].category, r.cat) << r.name;
    }
    // Two signals bundle to their AND; one signal is its own encoding.
    EXPECT_EQ(e->profiles[2].vector, ConceptVector::bundleMajority(std::vector<ConceptVector>{
                                         encodeSignal(SignalType::manufacturer, "78:45:58"),
                                         encodeSignal(SignalType::hostname, "usw")}))
        << "UniFi Switch: manufacturer then hostname";
    const Signal one[] = {{"vmware", SignalType::hostname}};
    EXPECT_EQ(buildVector(one), encodeSignal(SignalType::hostname, "vmware"));
    EXPECT_EQ(buildVector({}), ConceptVector::zero());
}

TEST(Profiles, BuildVectorUsesAtMostSixteenSignals) {
    std::vector<std::string> values;
    std::vector<Signal> signals;
    for (int i = 0; i < 20; ++i) values.push_back(test::numbered("v", i));
    for (const auto& v : values) signals.push_back({v, SignalType::dns_behavior});
    EXPECT_EQ(buildVector(signals), buildVector(std::span(signals).first(16)));
    EXPECT_NE(buildVector(signals), buildVector(std::span(signals).first(15)));
}

TEST(Profiles, DevicesIdentifyFromTheirOwnSignals) {
    auto e = makeEngine(200);
    loadBuiltinProfiles(*e);
    // A device that shows every signal of a profile, in table order, is
    // recognised as that profile, however many signals it shares with others.
    const auto defs = builtinProfileDefs();
    for (u32 i = 0; i < defs.size(); ++i) {
        const Mac m = macOf(1000 + i);
        for (const Signal& s : defs[i].signals) e->observeSignal(m.b, s.type, s.value);
        const auto r = e->tryIdentifyDevice(m.b);
        ASSERT_TRUE(r.has_value()) << defs[i].name;
        EXPECT_EQ(r->profile_idx, i) << defs[i].name;
        EXPECT_GT(r->confidence, 0.25f) << defs[i].name;
        EXPECT_EQ(e->findDevice(m.b)->getLabel(), r->confidence >= 0.3f ? defs[i].name : "")
            << defs[i].name;
    }
}

TEST(Profiles, FullProfileTableSkipsEveryDefinition) {
    auto e = makeEngine(200);
    for (u32 i = 0; i < kMaxProfiles; ++i)
        ASSERT_TRUE(e->addProfile("p", "m", DeviceCategory::unknown, ConceptVector::zero()));
    LogCapture logs;
    EXPECT_EQ(loadBuiltinProfiles(*e), 0u);
    const auto lines = logs.lines();
    const size_t n = builtinProfileDefs().size();
    ASSERT_EQ(lines.size(), n * 2 + 1);
    EXPECT_EQ(lines[0],
              "warning(fingerprint): profile table full (1024 entries), cannot add profile");
    EXPECT_EQ(lines[1], "warning(profiles): failed to load profile: UniFi Gateway (table full)");
    EXPECT_EQ(lines[53],
              "warning(profiles): failed to load profile: VMware Virtual Machine (table full)");
    EXPECT_EQ(lines[n * 2], "info(profiles): loaded 0 built-in device profiles");
    EXPECT_EQ(e->profile_count, kMaxProfiles);
}

}  // namespace
}  // namespace tarvex
