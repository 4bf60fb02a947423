// slot_index.h: fixed open-addressing indexes over slot tables.
//
// The daemon's tables are fixed arrays whose slots are taken first-free; the
// alert table alone reuses slots (erase then insert). A SlotIndex maps a key to the lowest slot
// that holds it without scanning the table: each cell stores slot + 1 (0 is
// an empty cell), probing is linear from the key's hash, and the key itself
// lives in the table, so lookups pass an equality test on a slot. With at
// least twice as many cells as slots a probe always ends at an empty cell.
//
// Valid when zero-filled (an empty index); never allocates. Not synchronised:
// the owning table's lock covers it.
#pragma once

#include "common/types.h"

namespace tarvex {

constexpr u32 kNoSlot = 0xFFFFFFFFu;

// A strong 64-bit finaliser (the SplitMix64 mixing steps).
constexpr u64 mixHash(u64 z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

template <u32 kCells>
struct SlotIndex {
    static_assert(kCells >= 2 && (kCells & (kCells - 1)) == 0, "cells must be a power of two");
    u32 cells[kCells];

    // The slot s with eq(s) true, or kNoSlot.
    template <class Eq>
    u32 find(u64 hash, Eq eq) const {
        for (u32 i = static_cast<u32>(hash) & (kCells - 1);; i = (i + 1) & (kCells - 1)) {
            const u32 c = cells[i];
            if (c == 0) return kNoSlot;
            if (eq(c - 1)) return c - 1;
        }
    }

    // Records that `slot` holds a key; when another slot already holds an
    // equal key the lower of the two stays indexed.
    template <class Eq>
    void insert(u64 hash, u32 slot, Eq eq) {
        for (u32 i = static_cast<u32>(hash) & (kCells - 1);; i = (i + 1) & (kCells - 1)) {
            const u32 c = cells[i];
            if (c == 0) {
                cells[i] = slot + 1;
                return;
            }
            if (eq(c - 1)) {
                if (slot < c - 1) cells[i] = slot + 1;
                return;
            }
        }
    }

    // Forgets that `slot` holds the key of `hash` (nothing when it is not
    // indexed there). The cells after it close the gap (backward-shift
    // deletion), so no probe sequence breaks; `hashOf(s)` gives the hash of
    // the key slot s holds, for the cells that move.
    template <class HashOf>
    void erase(u64 hash, u32 slot, HashOf hashOf) {
        constexpr u32 kMask = kCells - 1;
        u32 i = static_cast<u32>(hash) & kMask;
        for (;; i = (i + 1) & kMask) {
            if (cells[i] == 0) return;
            if (cells[i] == slot + 1) break;
        }
        for (u32 j = (i + 1) & kMask; cells[j] != 0; j = (j + 1) & kMask) {
            const u32 home = static_cast<u32>(hashOf(cells[j] - 1)) & kMask;
            // Cell j may fill the gap at i unless its home lies in (i, j].
            const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
            if (stays) continue;
            cells[i] = cells[j];
            i = j;
        }
        cells[i] = 0;
    }
};

}  // namespace tarvex
