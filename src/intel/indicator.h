// indicator.h: one threat indicator record and its enumerations.
//
// Plain data shared by the indicator store, the feed readers, the index
// the listener matches with, and the database rows. Any thread.
#pragma once

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
    // Where it came from: 0 for the API (and the database), n for the n-th
    // file of INDICATOR_FILES.
    u8 origin;
    // Hits and the last hit time: filled in the copies listIndicators makes
    // (the store keeps them in IndicatorHits); 0 in the store's slots.
    u64 hits;
    i64 last_hit;

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

// Hits of one store slot: written by the listener (atomically, through
// std::atomic_ref), read by the list endpoint.
struct IndicatorHits {
    u64 count;
    i64 last;  // 0 = never
};

}  // namespace tarvex
