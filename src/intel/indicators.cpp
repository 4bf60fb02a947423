// indicators.cpp: indicator parsing, additions and paging.
#include "intel/indicators.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "common/clock.h"
#include "common/format.h"
#include "common/log.h"
#include "engine_state.h"

namespace tarvex {

namespace {

constexpr std::string_view kTypeNames[] = {"ip",        "domain",      "url",   "hash_md5",
                                           "hash_sha1", "hash_sha256", "email", "cidr"};
constexpr std::string_view kSeverityNames[] = {"info", "low", "medium", "high", "critical"};

// Request text bound for a log line: control bytes (and DEL) are written as
// \xNN so that a value cannot end the line and forge another one.
void appendLogSafe(TextBuf& out, std::string_view text) {
    constexpr char kHex[] = "0123456789ABCDEF";
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) {
            char esc[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 0xF]};
            out.append(std::string_view(esc, 4));
        } else {
            out.push(ch);
        }
    }
}

}  // namespace

std::string_view indicatorTypeName(IndicatorType t) {
    auto i = static_cast<size_t>(t);
    return i < std::size(kTypeNames) ? kTypeNames[i] : kTypeNames[0];
}

std::string_view indicatorSeverityName(IndicatorSeverity s) {
    auto i = static_cast<size_t>(s);
    return i < std::size(kSeverityNames) ? kSeverityNames[i] : kSeverityNames[0];
}

IndicatorType parseIndicatorType(std::optional<std::string_view> text) {
    if (!text) return IndicatorType::ip;
    for (size_t i = 0; i < std::size(kTypeNames); ++i)
        if (*text == kTypeNames[i]) return static_cast<IndicatorType>(i);
    return IndicatorType::ip;
}

IndicatorSeverity parseIndicatorSeverity(std::optional<std::string_view> text) {
    if (!text) return IndicatorSeverity::medium;
    if (*text == "critical") return IndicatorSeverity::critical;
    if (*text == "high") return IndicatorSeverity::high;
    if (*text == "medium") return IndicatorSeverity::medium;
    if (*text == "low") return IndicatorSeverity::low;
    return IndicatorSeverity::info;
}

Indicator buildIndicator(std::string_view value, std::optional<std::string_view> type,
                         std::optional<std::string_view> severity,
                         std::optional<std::string_view> source) {
    Indicator ind;
    std::memset(&ind, 0, sizeof ind);
    ind.indicator_type = parseIndicatorType(type);
    ind.severity = parseIndicatorSeverity(severity);
    ind.setValue(value);
    ind.setSource(source.value_or(kManualSource));
    return ind;
}

void IndicatorStore::initInPlace() {
    new (&mu) std::mutex;
    for (auto& ind : indicators) ind.severity = IndicatorSeverity::medium;
    indexes_[0].clear(hits);
    indexes_[1].clear(hits);
    published_ = &indexes_[0];
}

void IndicatorStore::attach(EngineState* engine) {
    std::lock_guard<std::mutex> lock(mu);
    engine_ = engine;
    publishLocked();
}

void IndicatorStore::setPersistHook(IndicatorPersistHook hook, void* ctx) {
    std::lock_guard<std::mutex> lock(mu);
    persist_ = hook;
    persist_ctx_ = ctx;
}

void IndicatorStore::publishLocked() {
    // Build into the index the listener does not use: the one published
    // before the last swap, which no reader can hold any more.
    IndicatorIndex* next = published_ == &indexes_[0] ? &indexes_[1] : &indexes_[0];
    next->clear(hits);
    for (u32 i = 0, seen = 0; i < kMaxIndicators && seen < indicator_count; ++i) {
        if (!indicators[i].active) continue;
        ++seen;
        next->add(indicators[i], i);
    }
    if (engine_) {
        ExclusiveGuard hold(engine_->lock);
        engine_->indicators = next;
    }
    published_ = next;
}

namespace {

u64 keyHash(IndicatorType type, std::string_view value) {
    u64 h = 14695981039346656037ull;
    h = (h ^ static_cast<u8>(type)) * 1099511628211ull;
    for (char c : value) h = (h ^ static_cast<u8>(c)) * 1099511628211ull;
    return h;
}

}  // namespace

void IndicatorStore::addKeyLocked(u32 slot) {
    const Indicator& ind = indicators[slot];
    u32 i = static_cast<u32>(keyHash(ind.indicator_type, ind.getValue())) & (kKeySlots - 1);
    while (keys_[i] != 0) i = (i + 1) & (kKeySlots - 1);
    keys_[i] = slot + 1;
}

void IndicatorStore::rebuildKeysLocked() {
    std::memset(keys_, 0, sizeof keys_);
    for (u32 i = 0; i < kMaxIndicators; ++i)
        if (indicators[i].active) addKeyLocked(i);
}

i64 IndicatorStore::findKeyLocked(IndicatorType type, std::string_view value) const {
    for (u32 i = static_cast<u32>(keyHash(type, value)) & (kKeySlots - 1); keys_[i] != 0;
         i = (i + 1) & (kKeySlots - 1)) {
        const Indicator& ind = indicators[keys_[i] - 1];
        if (ind.active && ind.indicator_type == type && ind.getValue() == value)
            return keys_[i] - 1;
    }
    return -1;
}

bool IndicatorStore::storeLocked(const Indicator& ind, bool log) {
    if (indicator_count >= kMaxIndicators) {
        static LogLimit limit;
        logLimited(limit, LogLevel::error, "indicators",
                   "indicator store full ({} entries), cannot add indicator", kMaxIndicators);
        return false;
    }
    Indicator* slot = nullptr;
    u32 at = 0;
    for (u32 i = free_hint_; i < kMaxIndicators; ++i) {
        if (!indicators[i].active) {
            slot = &indicators[i];
            at = i;
            break;
        }
    }
    if (!slot) return false;
    *slot = ind;
    slot->active = true;
    slot->hits = 0;
    slot->last_hit = 0;
    if (slot->created_at == 0) slot->created_at = wallSeconds();
    std::atomic_ref<u64>(hits[at].count).store(0, std::memory_order_relaxed);
    std::atomic_ref<i64>(hits[at].last).store(0, std::memory_order_relaxed);
    ++indicator_count;
    free_hint_ = at + 1;
    addKeyLocked(at);
    if (log) {
        // Value and source are at most 256 + 64 bytes, 4 bytes each when escaped.
        FixedText<1280> value;
        FixedText<256> source;
        appendLogSafe(value, slot->getValue());
        appendLogSafe(source, slot->getSource());
        logInfo("indicators", "indicator added: type={} value=\"{}\" source=\"{}\"",
                indicatorTypeName(slot->indicator_type), value.view(), source.view());
    }
    return true;
}

bool IndicatorStore::addIndicator(const Indicator& ind) {
    std::lock_guard<std::mutex> lock(mu);
    Indicator copy = ind;
    copy.origin = 0;
    if (!storeLocked(copy, true)) return false;
    if (persist_) persist_(persist_ctx_, indicators[free_hint_ - 1]);
    publishLocked();
    return true;
}

ImportCounts IndicatorStore::importIndicators(const Indicator* items, u32 n, bool from_database) {
    std::lock_guard<std::mutex> lock(mu);
    ImportCounts c{};
    for (u32 i = 0; i < n; ++i) {
        if (findKeyLocked(items[i].indicator_type, items[i].getValue()) >= 0) {
            ++c.duplicate;
            continue;
        }
        Indicator copy = items[i];
        copy.origin = 0;
        if (!storeLocked(copy, false)) {
            ++c.rejected;
            continue;
        }
        ++c.imported;
        if (persist_ && !from_database) persist_(persist_ctx_, indicators[free_hint_ - 1]);
    }
    if (c.imported) publishLocked();
    return c;
}

ReloadCounts IndicatorStore::replaceOrigin(u8 origin, const Indicator* items, u32 n) {
    std::lock_guard<std::mutex> lock(mu);
    ReloadCounts c{};
    // Marks of the slots of this origin named again.
    static thread_local bool named[kMaxIndicators];
    std::memset(named, 0, sizeof named);
    for (u32 i = 0; i < n; ++i) {
        i64 at = findKeyLocked(items[i].indicator_type, items[i].getValue());
        if (at >= 0) {
            Indicator& cur = indicators[at];
            if (cur.origin != origin) {
                ++c.duplicate;
            } else if (!named[at]) {
                named[at] = true;
                cur.severity = items[i].severity;
                cur.expiry = items[i].expiry;
                cur.setSource(items[i].getSource());
                ++c.kept;
            } else {
                ++c.duplicate;
            }
            continue;
        }
        Indicator copy = items[i];
        copy.origin = origin;
        if (!storeLocked(copy, false)) {
            ++c.rejected;
            continue;
        }
        named[free_hint_ - 1] = true;
        ++c.added;
    }
    for (u32 i = 0; i < kMaxIndicators; ++i) {
        Indicator& ind = indicators[i];
        if (!ind.active || ind.origin != origin || named[i]) continue;
        ind.active = false;
        --indicator_count;
        ++c.removed;
        if (i < free_hint_) free_hint_ = i;
    }
    if (c.removed) rebuildKeysLocked();
    publishLocked();
    return c;
}

IndicatorPage IndicatorStore::listIndicators(u32 offset, u32 limit, Indicator* out, u32 cap) {
    std::lock_guard<std::mutex> lock(mu);
    u64 first = offset;
    u64 last = std::min<u64>(first + limit, first + cap);
    u32 total = 0;
    u32 count = 0;
    for (u32 i = 0; i < kMaxIndicators; ++i) {
        const Indicator& ind = indicators[i];
        if (!ind.active) continue;
        if (total >= first && total < last) {
            Indicator& o = out[count++];
            o = ind;
            o.hits = std::atomic_ref<u64>(hits[i].count).load(std::memory_order_relaxed);
            o.last_hit = std::atomic_ref<i64>(hits[i].last).load(std::memory_order_relaxed);
        }
        ++total;
    }
    return {total, count};
}

}  // namespace tarvex
