// indicators.cpp: indicator parsing, additions and paging.
#include "intel/indicators.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/clock.h"
#include "common/format.h"
#include "common/log.h"

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
}

bool IndicatorStore::addIndicator(const Indicator& ind) {
    std::lock_guard<std::mutex> lock(mu);
    if (indicator_count >= kMaxIndicators) {
        static LogLimit limit;
        logLimited(limit, LogLevel::error, "indicators",
                   "indicator store full ({} entries), cannot add indicator", kMaxIndicators);
        return false;
    }
    // Slots are taken in order and never freed, so the first free slot is at
    // the count; the scan only guards that invariant.
    Indicator* slot = nullptr;
    for (u32 i = indicator_count; i < kMaxIndicators; ++i) {
        if (!indicators[i].active) {
            slot = &indicators[i];
            break;
        }
    }
    if (!slot) return false;
    *slot = ind;
    slot->active = true;
    if (slot->created_at == 0) slot->created_at = wallSeconds();
    ++indicator_count;
    // Value and source are at most 256 + 64 bytes, 4 bytes each when escaped.
    FixedText<1280> value;
    FixedText<256> source;
    appendLogSafe(value, slot->getValue());
    appendLogSafe(source, slot->getSource());
    logInfo("indicators", "indicator added: type={} value=\"{}\" source=\"{}\"",
            indicatorTypeName(slot->indicator_type), value.view(), source.view());
    return true;
}

IndicatorPage IndicatorStore::listIndicators(u32 offset, u32 limit, Indicator* out, u32 cap) {
    std::lock_guard<std::mutex> lock(mu);
    u64 first = offset;
    u64 last = std::min<u64>(first + limit, first + cap);
    u32 total = 0;
    u32 count = 0;
    for (const auto& ind : indicators) {
        if (!ind.active) continue;
        if (total >= first && total < last) out[count++] = ind;
        ++total;
    }
    return {total, count};
}

}  // namespace tarvex
