// engine.h: the detection rule table.
//
// RuleEngine holds up to 1024 SigmaRule slots. The API can list it and
// acknowledges rule uploads, but nothing stores an uploaded rule: the table
// stays empty for the life of the process. Compliance reporting reads the
// ATT&CK ids of its active, enabled rules.
//
// Thread-safety: written only by start-up (initInPlace) and tests before any
// reader exists; afterwards every operation is a read and may run on any
// number of threads without synchronisation.
#pragma once

#include <string_view>

#include "rules/sigma.h"

namespace tarvex {

constexpr u32 kMaxRules = 1024;

// One page of the rule list: `total` active rules, `count` copied.
struct RulePage {
    u32 total;
    u32 count;
};

struct RuleEngine {
    u32 rule_count;
    SigmaRule rules[kMaxRules];

    // Makes a zero-filled table ready: every slot inactive and enabled.
    void initInPlace();

    // Copies the active rules numbered offset+1 .. offset+limit in slot order
    // into `out` (at most `cap`). A SigmaRule is about 3 KiB.
    RulePage listRules(u32 offset, u32 limit, SigmaRule* out, u32 cap) const;
};

}  // namespace tarvex
