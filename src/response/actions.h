// actions.h: the response action table.
//
// ActionManager holds up to 256 automated response actions (webhooks and
// similar notifications meant to fire on alerts). Nothing in the daemon adds
// or fires one, so the table stays empty; its layout is what the action list
// reports.
//
// Thread-safety: written only by start-up before the HTTP server starts;
// read-only afterwards, from any number of threads.
#pragma once

#include <string_view>

#include "common/text.h"
#include "common/types.h"

namespace tarvex {

constexpr u32 kMaxActions = 256;

enum class ActionType : u8 { webhook = 0, email = 1, slack = 2, generic_http = 3 };

// "webhook", "email", "slack", "generic_http"; "webhook" outside the enumeration.
std::string_view actionTypeName(ActionType t);

struct TriggerCondition {
    u8 min_severity;  // alert severity value 0..4
    char mitre_technique[12];
    u8 mitre_technique_len;
    char keyword[64];
    u8 keyword_len;
};

struct ResponseAction {
    i64 last_triggered;  // 0 = never
    u32 id;
    u32 trigger_count;
    u16 url_len;
    u16 headers_len;
    u16 body_template_len;
    char name[64];
    u8 name_len;
    ActionType action_type;
    char url[256];
    char headers[512];
    char body_template[1024];
    TriggerCondition trigger;
    bool enabled;  // true from start-up on
    bool active;   // slot in use

    std::string_view getName() const { return view(name, name_len); }
    std::string_view getUrl() const { return view(url, url_len); }
};

struct ActionManager {
    ResponseAction actions[kMaxActions];
    u32 action_count;
    u32 next_id;  // starts at 1

    // Makes a zero-filled table ready: every slot inactive and enabled,
    // next_id = 1.
    void initInPlace();
};

}  // namespace tarvex
