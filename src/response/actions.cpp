// actions.cpp: response action table set-up and its list body.
#include "response/actions.h"

#include "api/json.h"

namespace tarvex {

namespace {
constexpr std::string_view kTypeNames[] = {"webhook", "email", "slack", "generic_http"};
}  // namespace

std::string_view actionTypeName(ActionType t) {
    auto i = static_cast<size_t>(t);
    return i < std::size(kTypeNames) ? kTypeNames[i] : kTypeNames[0];
}

void ActionManager::initInPlace() {
    for (auto& a : actions) a.enabled = true;
    next_id = 1;
}

void writeActionsBody(TextBuf& out, const ActionManager& am) {
    out.append("{\"actions\":[");
    bool first = true;
    for (const auto& a : am.actions) {
        if (!a.active) continue;
        if (!first) out.push(',');
        first = false;
        formatInto(out, "{\"id\":{},\"name\":", a.id);
        appendJsonStr(out, a.getName());
        out.append(",\"type\":");
        appendJsonStr(out, actionTypeName(a.action_type));
        out.append(",\"url\":");
        appendJsonStr(out, a.getUrl());
        out.append(",\"enabled\":");
        appendJsonBool(out, a.enabled);
        formatInto(out, ",\"trigger_count\":{},\"last_triggered\":{}}", a.trigger_count,
                   a.last_triggered);
    }
    formatInto(out, "],\"total\":{}}", am.action_count);
}

}  // namespace tarvex
