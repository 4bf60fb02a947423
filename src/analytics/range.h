// range.h: the time range of the analytics series.
//
// The analytics endpoints take a "range" query parameter that selects the
// bucket width and look-back interval of their database queries.
#pragma once

#include <optional>
#include <string_view>

namespace tarvex {

// Bucket width ($1 of the series queries, a date_trunc unit) and look-back
// interval (a PostgreSQL interval text), both echoed in the series body.
struct RangeParams {
    std::string_view bucket;
    std::string_view interval;
};

// "30d" gives day over "30 days", "90d" day over "90 days"; absent, "7d" and
// anything else give hour over "7 days".
RangeParams parseRange(std::optional<std::string_view> range);

}  // namespace tarvex
