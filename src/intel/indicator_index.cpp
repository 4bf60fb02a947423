// indicator_index.cpp: building the index and the listener's lookups.
#include "intel/indicator_index.h"

#include <atomic>
#include <cstring>

#include "intel/indicator_value.h"

namespace tarvex {

namespace {

constexpr u64 kFnvBasis = 14695981039346656037ull;
constexpr u64 kFnvPrime = 1099511628211ull;

u64 hashBytes(u64 h, const void* data, size_t n) {
    auto p = static_cast<const u8*>(data);
    for (size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= kFnvPrime;
    }
    return h;
}

u64 textHash(IndicatorKind kind, std::string_view key) {
    u8 k = static_cast<u8>(kind);
    return hashBytes(hashBytes(kFnvBasis, &k, 1), key.data(), key.size());
}

u64 prefixHash(u8 family, u8 len, const u8* masked) {
    u8 head[3] = {static_cast<u8>(IndicatorKind::address), family, len};
    u64 h = hashBytes(kFnvBasis, head, 3);
    return hashBytes(h, masked, family == 4 ? 4 : 16);
}

// Final mix so that the table index and the tag use different bits well.
u64 mix(u64 h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    return h;
}

void maskTo(const u8* addr, u8 family, u8 len, u8* out) {
    size_t bytes = family == 4 ? 4 : 16;
    for (size_t i = 0; i < bytes; ++i) {
        unsigned bits = i * 8 >= len ? 0 : (len - i * 8 >= 8 ? 8 : len - i * 8);
        out[i] = static_cast<u8>(addr[i] & static_cast<u8>(0xFF00u >> bits));
    }
}

IndicatorKind kindOf(IndicatorType t) {
    switch (t) {
        case IndicatorType::ip:
        case IndicatorType::cidr:
            return IndicatorKind::address;
        case IndicatorType::domain:
            return IndicatorKind::domain;
        case IndicatorType::url:
            return IndicatorKind::url;
        case IndicatorType::hash_md5:
        case IndicatorType::hash_sha1:
        case IndicatorType::hash_sha256:
            return IndicatorKind::hash;
        case IndicatorType::email:
            return IndicatorKind::email;
    }
    return IndicatorKind::none;
}

// Lower-cases at most 255 bytes of `s` into out, without a trailing dot.
size_t lowerInto(std::string_view s, char (&out)[256]) {
    if (!s.empty() && s.back() == '.') s.remove_suffix(1);
    if (s.size() > 255) return 0;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        out[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return s.size();
}

}  // namespace

void IndicatorIndex::clear(IndicatorHits* hits) {
    hits_ = hits;
    count_ = 0;
    v4_lengths_ = 0;
    v6_lengths_[0] = v6_lengths_[1] = v6_lengths_[2] = 0;
    std::memset(v4_top16_, 0, sizeof v4_top16_);
    std::memset(v6_top16_, 0, sizeof v6_top16_);
    std::memset(bloom_, 0, sizeof bloom_);
    std::memset(table_, 0, sizeof table_);
}

void IndicatorIndex::insert(u64 hash, u32 entry) {
    u64 h = mix(hash);
    u32 bit = static_cast<u32>(h >> 45) & (kBloomBits - 1);
    bloom_[bit / 64] |= 1ull << (bit % 64);
    u32 tag = static_cast<u32>(h >> 32);
    for (u32 i = static_cast<u32>(h) & (kTableSlots - 1);; i = (i + 1) & (kTableSlots - 1)) {
        if (table_[i].entry == 0) {
            table_[i] = {tag, entry + 1};
            return;
        }
    }
}

bool IndicatorIndex::add(const Indicator& ind, u32 slot) {
    if (count_ >= kMaxIndicators) return false;
    IndicatorEntry& e = entries_[count_];
    std::memset(&e, 0, sizeof e);
    IndicatorKind kind = kindOf(ind.indicator_type);
    if (kind == IndicatorKind::none) return false;
    if (!normalizeIndicator(ind.indicator_type, ind.getValue(), e.value, e.value_len)) return false;
    e.expiry = ind.expiry;
    e.slot = slot;
    e.kind = static_cast<u8>(kind);
    e.indicator_type = ind.indicator_type;
    e.severity = ind.severity;
    copyBounded(e.source, e.source_len, ind.getSource());
    u64 hash;
    if (kind == IndicatorKind::address) {
        std::string_view v = e.getValue();
        size_t slash = v.find('/');
        auto a = parseAddress(v.substr(0, slash));
        if (!a) return false;
        u8 len = a->family == 4 ? 32 : 128;
        if (slash != std::string_view::npos) {
            unsigned n = 0;
            for (char c : v.substr(slash + 1)) n = n * 10 + static_cast<unsigned>(c - '0');
            len = static_cast<u8>(n);
        }
        e.family = a->family;
        e.prefix_len = len;
        maskTo(a->b, a->family, len, e.addr);
        if (len >= 16) {
            u32 top = static_cast<u32>(e.addr[0]) << 8 | e.addr[1];
            // Through a pointer: indexing the conditional of the two arrays
            // directly was compiled to the wrong word by the sanitizer build.
            u64* tops = a->family == 4 ? v4_top16_ : v6_top16_;
            tops[top / 64] |= 1ull << (top % 64);
        }
        if (a->family == 4) {
            v4_lengths_ |= 1ull << len;
        } else {
            v6_lengths_[len / 64] |= 1ull << (len % 64);
        }
        hash = prefixHash(a->family, len, e.addr);
    } else {
        hash = textHash(kind, e.getValue());
    }
    insert(hash, count_);
    ++count_;
    return true;
}

const IndicatorEntry* IndicatorIndex::findText(IndicatorKind kind, std::string_view key,
                                               i64 now) const {
    u64 h = mix(textHash(kind, key));
    if (!mayHold(h)) return nullptr;
    u32 tag = static_cast<u32>(h >> 32);
    for (u32 i = static_cast<u32>(h) & (kTableSlots - 1); table_[i].entry != 0;
         i = (i + 1) & (kTableSlots - 1)) {
        if (table_[i].tag != tag) continue;
        const IndicatorEntry& e = entries_[table_[i].entry - 1];
        if (e.kind == static_cast<u8>(kind) && e.getValue() == key && e.liveAt(now)) return &e;
    }
    return nullptr;
}

const IndicatorEntry* IndicatorIndex::findPrefix(u8 family, u8 len, const u8* masked,
                                                 i64 now) const {
    u64 h = mix(prefixHash(family, len, masked));
    if (!mayHold(h)) return nullptr;
    u32 tag = static_cast<u32>(h >> 32);
    size_t bytes = family == 4 ? 4 : 16;
    for (u32 i = static_cast<u32>(h) & (kTableSlots - 1); table_[i].entry != 0;
         i = (i + 1) & (kTableSlots - 1)) {
        if (table_[i].tag != tag) continue;
        const IndicatorEntry& e = entries_[table_[i].entry - 1];
        if (e.kind == static_cast<u8>(IndicatorKind::address) && e.family == family &&
            e.prefix_len == len && std::memcmp(e.addr, masked, bytes) == 0 && e.liveAt(now))
            return &e;
    }
    return nullptr;
}

const IndicatorEntry* IndicatorIndex::matchAddress(std::string_view text, i64 now) const {
    if (count_ == 0 || text.empty()) return nullptr;
    auto a = parseAddress(text);
    if (!a) return nullptr;
    const u8 family = a->family;
    const u32 top = static_cast<u32>(a->b[0]) << 8 | a->b[1];
    const u64* tops = family == 4 ? v4_top16_ : v6_top16_;
    // Lengths of /16 and longer can only match when an entry shares the
    // first 16 bits.
    const bool long_possible = (tops[top / 64] >> (top % 64)) & 1;
    u64 words[3];
    int last_word;
    if (family == 4) {
        words[0] = v4_lengths_;
        last_word = 0;
    } else {
        words[0] = v6_lengths_[0];
        words[1] = v6_lengths_[1];
        words[2] = v6_lengths_[2];
        last_word = 2;
    }
    if (!long_possible) {
        // Keep only /0 .. /15.
        words[0] &= 0xFFFFull;
        for (int w = 1; w <= last_word; ++w) words[w] = 0;
    }
    u8 masked[16];
    for (int w = last_word; w >= 0; --w) {
        for (u64 lengths = words[w]; lengths != 0;) {
            int bit = 63 - __builtin_clzll(lengths);
            lengths &= ~(1ull << bit);
            auto len = static_cast<u8>(w * 64 + bit);
            maskTo(a->b, family, len, masked);
            if (const IndicatorEntry* e = findPrefix(family, len, masked, now)) return e;
        }
    }
    return nullptr;
}

const IndicatorEntry* IndicatorIndex::matchDomain(std::string_view name, i64 now) const {
    if (count_ == 0 || name.empty()) return nullptr;
    char low[256];
    size_t n = lowerInto(name, low);
    std::string_view key(low, n);
    // The name itself, then each parent down to two labels.
    while (!key.empty()) {
        if (const IndicatorEntry* e = findText(IndicatorKind::domain, key, now)) return e;
        size_t dot = key.find('.');
        if (dot == std::string_view::npos) break;
        key.remove_prefix(dot + 1);
        if (key.find('.') == std::string_view::npos) break;  // a bare top-level label
    }
    return nullptr;
}

const IndicatorEntry* IndicatorIndex::matchUrl(std::string_view url, i64 now) const {
    if (count_ == 0 || url.empty()) return nullptr;
    char norm[256];
    u16 len;
    if (!normalizeUrl(url, norm, len)) return nullptr;
    return findText(IndicatorKind::url, std::string_view(norm, len), now);
}

const IndicatorEntry* IndicatorIndex::matchHash(std::string_view hash, i64 now) const {
    if (count_ == 0 || hash.empty() || hash.size() > 64) return nullptr;
    char low[256];
    size_t n = lowerInto(hash, low);
    return findText(IndicatorKind::hash, std::string_view(low, n), now);
}

void IndicatorIndex::countHit(const IndicatorEntry& e, i64 now) const {
    if (!hits_) return;
    IndicatorHits& h = hits_[e.slot];
    std::atomic_ref<u64>(h.count).fetch_add(1, std::memory_order_relaxed);
    std::atomic_ref<i64>(h.last).store(now, std::memory_order_relaxed);
}

}  // namespace tarvex
