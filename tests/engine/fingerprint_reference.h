// fingerprint_reference.h: the weighted bundle done one bit at a time.
//
// For every bit position where the device's vector and the new fact differ,
// the fact's bit is taken when splitmix_once(k x 0x517CC1B727220A95) mod
// (n + 1) is 0, n being the device's signal count: one generator step per
// differing bit, exactly as the rule is stated. Test and benchmark baseline
// for the engine's precomputed masks. Test-only code.
#pragma once

#include "engine/concept_vector.h"

namespace tarvex::test {

inline u64 referenceSplitmixOnce(u64 x) {
    u64 z = x + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

inline void referenceWeightedBundle(ConceptVector& device, const ConceptVector& fact, u32 n) {
    for (u32 k = 0; k < kVectorBits; ++k) {
        const u32 w = k / 64;
        const u64 bit = u64{1} << (k % 64);
        if ((device.words[w] & bit) == (fact.words[w] & bit)) continue;
        if (referenceSplitmixOnce(static_cast<u64>(k) * 0x517CC1B727220A95ull) % (n + 1) == 0)
            device.words[w] = (device.words[w] & ~bit) | (fact.words[w] & bit);
    }
}

}  // namespace tarvex::test
