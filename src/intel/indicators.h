// indicators.h: the threat indicator store.
//
// IndicatorStore holds up to 16384 indicators (addresses, networks,
// domains, URLs, hashes, e-mail addresses) added one at a time or imported
// in bulk through the API, read from the files of INDICATOR_FILES, and
// restored from the database at start. Slots are taken first-free in slot
// order and listed in that order; a slot is freed only when a re-read file
// no longer names its indicator. Imports skip what is already stored (same
// type and value); the one-at-a-time add stores what it is given.
//
// After every change the store builds the index the listener matches with
// (indicator_index.h) into the one of its two indexes the listener does not
// use, and publishes it in EngineState::indicators under the state lock
// held exclusively (attach()); the listener never waits for a build. New
// indicators of the API are handed to the persist hook (the database).
//
// Thread-safety: HTTP handler threads, the file watcher and the restore
// thread call in concurrently. Every public operation takes `mu` for its
// whole duration (and, to publish, the state lock after it: never the other
// way round). The listener writes the hit counters `hits` atomically. The
// table is obtained zero-filled (mapZeroed) and made ready by initInPlace()
// before any thread sees it.
#pragma once

#include <mutex>

#include "common/types.h"
#include "intel/indicator.h"
#include "intel/indicator_index.h"

namespace tarvex {

class EngineState;

// What an import did.
struct ImportCounts {
    u32 imported;   // stored now
    u32 duplicate;  // already stored, or named twice in the import
    u32 rejected;   // no room left
};

// What re-reading a file did.
struct ReloadCounts {
    u32 added;
    u32 kept;       // named before and again (severity, source, expiry updated)
    u32 removed;    // named before, not any more
    u32 duplicate;  // stored from elsewhere already
    u32 rejected;   // no room left
};

// Hands a new indicator to the database (any thread, under the store's mutex).
using IndicatorPersistHook = void (*)(void* ctx, const Indicator& ind);

// One page of the indicator list: `total` active indicators, `count` copied.
struct IndicatorPage {
    u32 total;
    u32 count;
};

struct IndicatorStore {
    Indicator indicators[kMaxIndicators];
    u32 indicator_count;                 // active slots
    std::mutex mu;                       // guards everything here but `hits`
    IndicatorHits hits[kMaxIndicators];  // by slot; see IndicatorHits

    // Makes a zero-filled table ready: constructs the mutex; every slot
    // inactive with severity medium.
    void initInPlace();

    // Stores a copy of `ind` in the first free slot, active, with created_at
    // set to now when it is 0, and logs the addition. Returns false when the
    // store is full (logging the store-full line when the count is at
    // capacity); nothing is stored then.
    bool addIndicator(const Indicator& ind);

    // Copies the active indicators numbered offset+1 .. offset+limit in slot
    // order into `out` (at most `cap`).
    // Copies carry the slot's hits and last hit time.
    IndicatorPage listIndicators(u32 offset, u32 limit, Indicator* out, u32 cap);

    // Publishes every later index through `engine` (start-up, before any
    // thread runs); publishes the current one at once.
    void attach(EngineState* engine);
    void setPersistHook(IndicatorPersistHook hook, void* ctx);

    // Stores the indicators not already stored (type and normal value),
    // each with origin 0, created_at now when 0; hands them to the persist
    // hook unless `from_database`. Logs a summary line.
    ImportCounts importIndicators(const Indicator* items, u32 n, bool from_database);
    // Makes the indicators of file `origin` (1..255) those of `items`: new
    // ones are added, named ones updated in place (their hits kept), the
    // rest of that origin removed.
    ReloadCounts replaceOrigin(u8 origin, const Indicator* items, u32 n);

    // The index the listener was last given (tests; the caller holds `mu`
    // or knows no change runs).
    const IndicatorIndex* publishedIndex() const { return published_; }

    // The representation, the store's own (under `mu`; public only so the
    // table keeps the standard layout mapZeroed needs).
    static constexpr u32 kKeySlots = 32768;
    // Store slots by (type, value): slot + 1, 0 = empty.
    u32 keys_[kKeySlots];
    IndicatorIndex indexes_[2];
    const IndicatorIndex* published_;
    EngineState* engine_;
    IndicatorPersistHook persist_;
    void* persist_ctx_;
    u32 free_hint_;  // no free slot below this one

    bool storeLocked(const Indicator& ind, bool log);
    void rebuildKeysLocked();
    void addKeyLocked(u32 slot);
    // The first active slot holding (type, value); -1 when none.
    i64 findKeyLocked(IndicatorType type, std::string_view value) const;
    void publishLocked();
};

}  // namespace tarvex
