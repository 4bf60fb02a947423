// concept_vector.h: 10048-bit binary hypervectors and their algebra.
//
// A ConceptVector is what the daemon knows about a thing, in the style of
// hyperdimensional computing: every observed fact becomes a pseudo-random
// vector (seeded generation), is tagged with its role (bind, a word-wise
// XOR) and folded in by majority bundling. Vectors are compared by Hamming
// distance. Bit k is bit (k mod 64) of word (k / 64), least significant first.
//
// Plain value type (1256 bytes), no state, no allocation; every operation is
// a pure function and safe from any thread.
#pragma once

#include <span>

#include "common/types.h"

namespace tarvex {

constexpr u32 kVectorWords = 157;
constexpr u32 kVectorBits = kVectorWords * 64;  // 10048

constexpr u64 kSplitMixGamma = 0x9E3779B97F4A7C15ull;

// The three mixing steps of SplitMix64 applied to an already advanced state.
constexpr u64 splitmixMix(u64 z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// One SplitMix64 step: advances `state` and returns the next output.
constexpr u64 splitmix64(u64& state) {
    state += kSplitMixGamma;
    return splitmixMix(state);
}

// One SplitMix64 step from state x, without keeping the state.
constexpr u64 splitmixOnce(u64 x) {
    return splitmixMix(x + kSplitMixGamma);
}

struct ConceptVector {
    u64 words[kVectorWords];

    // Word i = the (i + 1)-th output of a SplitMix64 stream started at seed.
    static ConceptVector initRandom(u64 seed);
    // The entry point callers use; identical to initRandom.
    static ConceptVector initFromSeed(u64 seed) { return initRandom(seed); }
    // The all-zero ("empty") vector.
    static ConceptVector zero() { return ConceptVector{}; }

    // Word-wise XOR; its own inverse.
    static ConceptVector bind(const ConceptVector& a, const ConceptVector& b);
    // Per-bit majority: a bit is 1 when more than floor(n / 2) inputs have it,
    // so an even tie gives 0. No input gives the zero vector.
    static ConceptVector bundleMajority(std::span<const ConceptVector> vs);
    // Number of differing bits, 0..10048.
    static u32 hammingDistance(const ConceptVector& a, const ConceptVector& b);
    // 1 - distance / 10048 in single precision: 1 identical, ~0.5 unrelated.
    static f32 similarity(const ConceptVector& a, const ConceptVector& b);

    bool operator==(const ConceptVector&) const = default;
};

}  // namespace tarvex
