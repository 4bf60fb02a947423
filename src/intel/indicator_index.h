// indicator_index.h: the lookup tables the listener matches events with.
//
// IndicatorIndex holds up to kMaxIndicators entries, each the normal form of
// one stored indicator with what an alert needs to say about it (value,
// type, source, severity, expiry) and its store slot (for the hit counters).
// Addresses and networks go into one prefix table: an entry is keyed by
// (family, prefix length, masked address), an address indicator being a
// /32 or /128, and a lookup tries each prefix length present, longest
// first (lengths of /16 and longer only when an entry shares the address's
// first 16 bits). Domains, URLs, hashes and e-mail addresses go into the same
// open-addressed table keyed by their text; a domain lookup also tries each
// parent domain. Built whole (clear, add, ...) off the event path; lookups
// allocate nothing and do not change the index.
//
// Thread-safety: the indicator store builds an index while no reader can
// see it and then publishes it through EngineState::indicators under the
// state lock held exclusively; the listener reads the published index only
// while it holds that lock. The hit counters the entries point at are
// atomics (IndicatorHits).
#pragma once

#include <string_view>

#include "common/types.h"
#include "intel/indicator.h"

namespace tarvex {

// What the index matches a value as.
enum class IndicatorKind : u8 { none = 0, address, domain, url, hash, email };

struct IndicatorEntry {
    i64 expiry;  // 0 = never
    u32 slot;    // the store slot
    u16 value_len;
    u8 kind;        // IndicatorKind
    u8 family;      // 4 or 6 for addresses
    u8 prefix_len;  // for addresses
    u8 source_len;
    IndicatorType indicator_type;
    IndicatorSeverity severity;
    u8 addr[16];      // masked address (addresses)
    char value[256];  // normal form (the key of the text kinds)
    char source[64];

    std::string_view getValue() const { return {value, value_len}; }
    std::string_view getSource() const { return {source, source_len}; }
    bool liveAt(i64 now) const { return expiry == 0 || now < expiry; }
};

class IndicatorIndex {
  public:
    static constexpr u32 kTableSlots = 65536;    // a quarter full at most
    static constexpr u32 kBloomBits = 1u << 19;  // one bit per key: 3 % false hits when full

    // Empties the index and points it at the store's hit counters.
    void clear(IndicatorHits* hits);
    // Adds the indicator of store slot `slot`; false when its value does not
    // read as its type (it cannot match anything) or the index is full.
    bool add(const Indicator& ind, u32 slot);

    // The live entry for an address text (IPv4 or IPv6) by longest prefix;
    // nullptr when none.
    const IndicatorEntry* matchAddress(std::string_view text, i64 now) const;
    // The live entry for a domain name or its nearest listed parent.
    const IndicatorEntry* matchDomain(std::string_view name, i64 now) const;
    // The live entry for a URL (any scheme; compared without it).
    const IndicatorEntry* matchUrl(std::string_view url, i64 now) const;
    // The live entry for a file hash (MD5, SHA-1 or SHA-256, either case).
    const IndicatorEntry* matchHash(std::string_view hash, i64 now) const;

    // Counts one hit of `e` at `now` (listener thread).
    void countHit(const IndicatorEntry& e, i64 now) const;

    u32 size() const { return count_; }
    bool empty() const { return count_ == 0; }

  private:
    struct Slot {
        u32 tag;    // high half of the key's hash
        u32 entry;  // entry index + 1; 0 = empty
    };
    const IndicatorEntry* findText(IndicatorKind kind, std::string_view key, i64 now) const;
    const IndicatorEntry* findPrefix(u8 family, u8 len, const u8* masked, i64 now) const;
    void insert(u64 hash, u32 entry);
    bool mayHold(u64 mixed) const {
        u32 bit = static_cast<u32>(mixed >> 45) & (kBloomBits - 1);
        return (bloom_[bit / 64] >> (bit % 64)) & 1;
    }

    IndicatorHits* hits_;
    u32 count_;
    // Prefix lengths present: IPv4 in v4_lengths_ (bit n = /n), IPv6 in
    // v6_lengths_ (bit n%64 of word n/64).
    u64 v4_lengths_;
    u64 v6_lengths_[3];
    // The first 16 bits of every address entry of /16 or longer, by family
    // (bit n = top16 n): most event addresses are ruled out with one load.
    u64 v4_top16_[1024];
    u64 v6_top16_[1024];
    // A one-hash filter over every key, ahead of the table: a miss costs a
    // load from 64 KiB rather than from the 512 KiB table.
    u64 bloom_[kBloomBits / 64];
    Slot table_[kTableSlots];
    IndicatorEntry entries_[kMaxIndicators];
};

}  // namespace tarvex
