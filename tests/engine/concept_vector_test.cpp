// concept_vector_test.cpp: known answers for the vector algebra.
#include "engine/concept_vector.h"

#include <gtest/gtest.h>

#include <vector>

namespace tarvex {
namespace {

ConceptVector allOnes() {
    ConceptVector v;
    for (u64& w : v.words) w = ~u64{0};
    return v;
}

TEST(ConceptVector, SeededGenerationKnownAnswers) {
    const ConceptVector v = ConceptVector::initFromSeed(0);
    EXPECT_EQ(v.words[0], 0xE220A8397B1DCDAFull);
    EXPECT_EQ(v.words[1], 0x6E789E6AA1B965F4ull);
    // Word i is the (i + 1)-th output of the stream: mix(seed + (i + 1) gamma).
    const u64 seed = 0x0123456789ABCDEFull;
    const ConceptVector s = ConceptVector::initRandom(seed);
    EXPECT_EQ(s.words[156], splitmixMix(seed + 157 * kSplitMixGamma));
    EXPECT_EQ(s, ConceptVector::initFromSeed(seed)) << "initFromSeed is initRandom";
    EXPECT_NE(s, ConceptVector::initFromSeed(seed + 1)) << "nearby seeds differ";
    const u32 ones = ConceptVector::hammingDistance(s, ConceptVector::zero());
    EXPECT_GT(ones, 4700u) << "about half the bits set";
    EXPECT_LT(ones, 5350u);
}

TEST(ConceptVector, BindIsXorAndItsOwnInverse) {
    const ConceptVector a = ConceptVector::initFromSeed(1);
    const ConceptVector b = ConceptVector::initFromSeed(2);
    const ConceptVector ab = ConceptVector::bind(a, b);
    for (u32 i = 0; i < kVectorWords; ++i) EXPECT_EQ(ab.words[i], a.words[i] ^ b.words[i]);
    EXPECT_EQ(ConceptVector::bind(ab, b), a);
}

TEST(ConceptVector, SimilarityAndDistance) {
    const ConceptVector v = ConceptVector::initFromSeed(7);
    EXPECT_EQ(ConceptVector::similarity(v, v), 1.0f);
    EXPECT_EQ(ConceptVector::similarity(v, ConceptVector::bind(v, allOnes())), 0.0f);
    EXPECT_EQ(ConceptVector::hammingDistance(v, ConceptVector::bind(v, allOnes())), kVectorBits);
    ConceptVector w = v;
    w.words[0] ^= 0xFF;            // 8 bits
    w.words[156] ^= u64{1} << 63;  // the last bit of the vector
    EXPECT_EQ(ConceptVector::hammingDistance(v, w), 9u);
    EXPECT_EQ(ConceptVector::similarity(v, w), 1.0f - 9.0f / 10048.0f);
    const f32 unrelated = ConceptVector::similarity(v, ConceptVector::initFromSeed(8));
    EXPECT_NEAR(unrelated, 0.5f, 0.03f);
}

TEST(ConceptVector, MajorityBundling) {
    const ConceptVector a = ConceptVector::initFromSeed(11);
    const ConceptVector b = ConceptVector::initFromSeed(12);
    const ConceptVector c = ConceptVector::initFromSeed(13);
    const ConceptVector d = ConceptVector::initFromSeed(14);
    struct Case {
        const char* rule;
        std::vector<ConceptVector> in;
        ConceptVector want;
    };
    ConceptVector and2, maj3, maj4;
    for (u32 i = 0; i < kVectorWords; ++i) {
        const u64 x = a.words[i], y = b.words[i], z = c.words[i], t = d.words[i];
        and2.words[i] = x & y;
        maj3.words[i] = (x & y) | (x & z) | (y & z);
        // Four inputs: at least three ones (two is a tie and gives 0).
        maj4.words[i] = (x & y & z) | (x & y & t) | (x & z & t) | (y & z & t);
    }
    const Case cases[] = {
        {"no input gives the zero vector", {}, ConceptVector::zero()},
        {"one input is returned unchanged", {a}, a},
        {"two inputs tie on every difference: AND", {a, b}, and2},
        {"three inputs: bitwise majority", {a, b, c}, maj3},
        {"four inputs: two of four is a tie", {a, b, c, d}, maj4},
    };
    for (const Case& k : cases) EXPECT_EQ(ConceptVector::bundleMajority(k.in), k.want) << k.rule;
}

}  // namespace
}  // namespace tarvex
