// range.cpp: the analytics range parameter.
#include "analytics/range.h"

namespace tarvex {

RangeParams parseRange(std::optional<std::string_view> range) {
    if (range == "30d") return {"day", "30 days"};
    if (range == "90d") return {"day", "90 days"};
    return {"hour", "7 days"};
}

}  // namespace tarvex
