// sigma.h: the Sigma-style detection rule record.
#pragma once

#include <string_view>

#include "common/text.h"
#include "common/types.h"

namespace tarvex {

enum class SigmaLevel : u8 { informational = 0, low = 1, medium = 2, high = 3, critical = 4 };
enum class SigmaStatus : u8 { experimental = 0, testing = 1, stable = 2 };

// "informational" ... "critical"; "informational" outside the enumeration.
std::string_view sigmaLevelName(SigmaLevel l);
// "experimental", "testing", "stable"; "experimental" outside the enumeration.
std::string_view sigmaStatusName(SigmaStatus s);

constexpr u32 kMaxRuleTechniques = 8;
constexpr u32 kTechniqueIdBytes = 12;
constexpr u32 kMaxRuleKeywords = 16;

struct SigmaRule {
    u16 description_len;
    char id[64];
    u8 id_len;
    char title[128];
    u8 title_len;
    char description[512];
    SigmaLevel level;
    SigmaStatus status;
    char logsource_category[32];
    u8 logsource_category_len;
    char logsource_product[32];
    u8 logsource_product_len;
    // ATT&CK technique ids, each zero-padded; a 12-byte id has no terminator.
    char mitre_attack_ids[kMaxRuleTechniques][kTechniqueIdBytes];
    u8 mitre_count;
    char detection_keywords[kMaxRuleKeywords][64];  // all must occur
    u8 keyword_count;
    char detection_any_keywords[kMaxRuleKeywords][64];  // one must occur
    u8 any_keyword_count;
    bool enabled;  // true from start-up on
    bool active;   // slot in use

    std::string_view getId() const { return view(id, id_len); }
    std::string_view getTitle() const { return view(title, title_len); }
    std::string_view getLogsourceCategory() const {
        return view(logsource_category, logsource_category_len);
    }
    // Technique id i up to its first zero byte; empty when i >= mitre_count.
    std::string_view getTechnique(u32 i) const;
};

}  // namespace tarvex
