// concept_vector.cpp: seeded generation, binding, bundling and distance.
#include "engine/concept_vector.h"

#include <bit>

namespace tarvex {

ConceptVector ConceptVector::initRandom(u64 seed) {
    ConceptVector v;
    u64 state = seed;
    for (u32 i = 0; i < kVectorWords; ++i) v.words[i] = splitmix64(state);
    return v;
}

ConceptVector ConceptVector::bind(const ConceptVector& a, const ConceptVector& b) {
    ConceptVector r;
    for (u32 i = 0; i < kVectorWords; ++i) r.words[i] = a.words[i] ^ b.words[i];
    return r;
}

ConceptVector ConceptVector::bundleMajority(std::span<const ConceptVector> vs) {
    ConceptVector r{};
    if (vs.empty()) return r;
    if (vs.size() == 1) return vs[0];
    const size_t half = vs.size() / 2;
    for (u32 w = 0; w < kVectorWords; ++w) {
        u64 out = 0;
        for (u32 bit = 0; bit < 64; ++bit) {
            size_t ones = 0;
            for (const ConceptVector& v : vs) ones += (v.words[w] >> bit) & 1u;
            if (ones > half) out |= u64{1} << bit;
        }
        r.words[w] = out;
    }
    return r;
}

// Built twice, with and without the POPCNT instruction; the loader picks the
// one the processor supports. ThreadSanitizer builds keep the one plain
// version: the loader runs the picking function before the sanitizer's
// runtime is ready, and an instrumented one crashes the process at load.
// Four running sums keep the additions independent, so the word counts
// overlap.
#if defined(__SANITIZE_THREAD__)
#define TARVEX_POPCNT_CLONES
#else
#define TARVEX_POPCNT_CLONES __attribute__((target_clones("popcnt", "default")))
#endif
TARVEX_POPCNT_CLONES u32 ConceptVector::hammingDistance(const ConceptVector& a,
                                                        const ConceptVector& b) {
    u64 s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    u32 i = 0;
    for (; i + 4 <= kVectorWords; i += 4) {
        s0 += static_cast<u64>(std::popcount(a.words[i] ^ b.words[i]));
        s1 += static_cast<u64>(std::popcount(a.words[i + 1] ^ b.words[i + 1]));
        s2 += static_cast<u64>(std::popcount(a.words[i + 2] ^ b.words[i + 2]));
        s3 += static_cast<u64>(std::popcount(a.words[i + 3] ^ b.words[i + 3]));
    }
    for (; i < kVectorWords; ++i) s0 += static_cast<u64>(std::popcount(a.words[i] ^ b.words[i]));
    return static_cast<u32>(s0 + s1 + s2 + s3);
}

f32 ConceptVector::similarity(const ConceptVector& a, const ConceptVector& b) {
    return 1.0f - static_cast<f32>(hammingDistance(a, b)) / static_cast<f32>(kVectorBits);
}

}  // namespace tarvex
