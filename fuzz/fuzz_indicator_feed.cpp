// fuzz_indicator_feed.cpp: threat lists of any shape must read without
// harm, give only values in their normal form, and index and match safely.
#include <cstdint>
#include <string_view>

#include "common/table.h"
#include "intel/indicator_feed.h"
#include "intel/indicator_index.h"
#include "intel/indicator_value.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tarvex;
    static Indicator items[64];
    static IndicatorIndex* index = mapZeroed<IndicatorIndex>();
    static IndicatorHits hits[kMaxIndicators];
    std::string_view text(reinterpret_cast<const char*>(data), size);
    FeedResult r = parseIndicatorFeed(text, FeedDefaults{}, items, 64);
    if (r.count > 64 || r.kept > FeedResult::kKeptRejections || r.kept > r.rejected)
        __builtin_trap();
    index->clear(hits);
    for (u32 i = 0; i < r.count; ++i) {
        const Indicator& ind = items[i];
        if (ind.value_len > sizeof ind.value || ind.source_len > sizeof ind.source)
            __builtin_trap();
        // A stored value is already in its normal form.
        char again[256];
        u16 len = 0;
        if (!normalizeIndicator(ind.indicator_type, ind.getValue(), again, len) ||
            std::string_view(again, len) != ind.getValue())
            __builtin_trap();
        if (!index->add(ind, i)) __builtin_trap();
    }
    for (u32 i = 0; i < r.kept; ++i) {
        std::string_view line = r.first_rejected[i].text;
        (void)index->matchAddress(line, 1);
        (void)index->matchDomain(line, 1);
        (void)index->matchUrl(line, 1);
        (void)index->matchHash(line, 1);
    }
    for (u32 i = 0; i < r.count; ++i) {
        const IndicatorEntry* e = nullptr;
        std::string_view v = items[i].getValue();
        switch (items[i].indicator_type) {
            case IndicatorType::ip:
                e = index->matchAddress(v, 1);
                break;
            case IndicatorType::domain:
                e = index->matchDomain(v, 1);
                break;
            case IndicatorType::url:
                e = index->matchUrl(v, 1);
                break;
            case IndicatorType::hash_md5:
            case IndicatorType::hash_sha1:
            case IndicatorType::hash_sha256:
                e = index->matchHash(v, 1);
                break;
            default:
                continue;
        }
        if (items[i].expiry == 0 && !e) __builtin_trap();  // every live value finds itself
    }
    return 0;
}
