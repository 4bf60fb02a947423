// engine.cpp: rule table set-up, paging and technique ids.
#include "rules/engine.h"

#include <algorithm>
#include <cstring>

namespace tarvex {

namespace {

constexpr std::string_view kLevelNames[] = {"informational", "low", "medium", "high", "critical"};
constexpr std::string_view kStatusNames[] = {"experimental", "testing", "stable"};

}  // namespace

std::string_view sigmaLevelName(SigmaLevel l) {
    auto i = static_cast<size_t>(l);
    return i < std::size(kLevelNames) ? kLevelNames[i] : kLevelNames[0];
}

std::string_view sigmaStatusName(SigmaStatus s) {
    auto i = static_cast<size_t>(s);
    return i < std::size(kStatusNames) ? kStatusNames[i] : kStatusNames[0];
}

std::string_view SigmaRule::getTechnique(u32 i) const {
    if (i >= mitre_count || i >= kMaxRuleTechniques) return {};
    const char* t = mitre_attack_ids[i];
    const void* zero = std::memchr(t, 0, kTechniqueIdBytes);
    size_t n = zero ? static_cast<size_t>(static_cast<const char*>(zero) - t) : kTechniqueIdBytes;
    return {t, n};
}

void RuleEngine::initInPlace() {
    for (auto& r : rules) r.enabled = true;
}

RulePage RuleEngine::listRules(u32 offset, u32 limit, SigmaRule* out, u32 cap) const {
    u64 first = offset;
    u64 last = std::min<u64>(first + limit, first + cap);
    u32 total = 0;
    u32 count = 0;
    for (const auto& r : rules) {
        if (!r.active) continue;
        if (total >= first && total < last) out[count++] = r;
        ++total;
    }
    return {total, count};
}

}  // namespace tarvex
