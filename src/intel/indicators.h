// indicators.h: the threat indicator store.
//
// IndicatorStore holds up to 16384 indicators (addresses, domains, URLs,
// hashes, e-mail addresses, networks) added one at a time through the API.
// It lives only in memory, starts empty, and is only ever added to; slots
// are taken first-free in slot order and listed in that order.
//
// Thread-safety: HTTP handler threads add and list concurrently. Every
// public operation of IndicatorStore takes `mu` for its whole duration.
// The table is obtained zero-filled (mapZeroed) and made ready by
// initInPlace() before any thread sees it.
#pragma once

#include <mutex>
#include <optional>
#include <string_view>

#include "common/text.h"
#include "common/types.h"

namespace tarvex {

constexpr u32 kMaxIndicators = 16384;

enum class IndicatorType : u8 {
    ip = 0,
    domain = 1,
    url = 2,
    hash_md5 = 3,
    hash_sha1 = 4,
    hash_sha256 = 5,
    email = 6,
    cidr = 7,
};
enum class IndicatorSeverity : u8 { info = 0, low = 1, medium = 2, high = 3, critical = 4 };

// "ip" ... "cidr"; "ip" outside the enumeration.
std::string_view indicatorTypeName(IndicatorType t);
// "info" ... "critical"; "info" outside the enumeration.
std::string_view indicatorSeverityName(IndicatorSeverity s);

// One of the eight type names (exact bytes) gives that type; absent or any
// other text gives ip.
IndicatorType parseIndicatorType(std::optional<std::string_view> text);
// Absent gives medium; "critical", "high", "medium", "low" give that level;
// any other text (including empty) gives info.
IndicatorSeverity parseIndicatorSeverity(std::optional<std::string_view> text);

struct Indicator {
    i64 expiry;  // 0 = never expires
    i64 created_at;
    u16 value_len;
    IndicatorType indicator_type;
    char value[256];  // stored as received
    char source[64];
    u8 source_len;
    IndicatorSeverity severity;
    bool active;

    std::string_view getValue() const { return view(value, value_len); }
    void setValue(std::string_view v) { copyBounded(value, value_len, v); }
    std::string_view getSource() const { return view(source, source_len); }
    void setSource(std::string_view s) { copyBounded(source, source_len, s); }
};

// Source of an indicator whose request names none.
inline constexpr std::string_view kManualSource = "manual";

// The record an add request describes: value cut to 256 bytes, type and
// severity parsed as above, source cut to 64 bytes or "manual" when absent,
// no expiry, created_at left 0 for the store to stamp.
Indicator buildIndicator(std::string_view value, std::optional<std::string_view> type,
                         std::optional<std::string_view> severity,
                         std::optional<std::string_view> source);

// One page of the indicator list: `total` active indicators, `count` copied.
struct IndicatorPage {
    u32 total;
    u32 count;
};

struct IndicatorStore {
    Indicator indicators[kMaxIndicators];
    u32 indicator_count;  // indicators added; never decremented
    std::mutex mu;        // guards everything above

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
    IndicatorPage listIndicators(u32 offset, u32 limit, Indicator* out, u32 cap);
};

}  // namespace tarvex
