// baseline_test.cpp: the baseline table's start state and reads.
#include "engine/baseline.h"

#include <gtest/gtest.h>

#include "engine/table_ptr.h"

namespace tarvex {
namespace {

TEST(Baseline, StartsEmptyWithFixedSettings) {
    auto b = test::makeTable<BaselineEngine>();
    b->init();
    EXPECT_EQ(b->device_count, 0u);
    EXPECT_EQ(b->anomaly_threshold, 0.5f);
    EXPECT_EQ(b->learning_window_count, 672u);
    const u8 mac[6] = {0x3C, 0x22, 0xFB, 0x0A, 0x1B, 0x2C};
    const u8 zero[6] = {};
    EXPECT_EQ(b->findDevice(mac), nullptr);
    EXPECT_EQ(b->findDevice(zero), nullptr) << "inactive zeroed slots never match";
}

TEST(Baseline, ModulationFollowsLayerZeroError) {
    struct Case {
        const char* rule;
        f32 error;
        f32 modulation;
    };
    const Case cases[] = {
        {"no error: 1.0", 0.0f, 1.0f},
        {"negative errors count by magnitude", -0.3f, 1.3f},
        {"capped at 2.0", 5.0f, 2.0f},
        {"exactly one reaches the cap", 1.0f, 2.0f},
    };
    PredictionModel m{};
    for (const Case& c : cases) {
        m.layers[0].errors[4] = c.error;
        m.layers[1].errors[4] = 9.0f;  // layer 1 is not consulted
        EXPECT_FLOAT_EQ(m.getModulation(4), c.modulation) << c.rule;
    }
    EXPECT_EQ(m.getModulation(32), 1.0f) << "beyond the feature vector";
    EXPECT_EQ(kFeatureNames[0], "dns_query_volume");
    EXPECT_EQ(kFeatureNames[9], "beacon_regularity");
}

}  // namespace
}  // namespace tarvex
