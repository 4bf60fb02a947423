// actions.cpp: response action table set-up and type names.
#include "response/actions.h"

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

}  // namespace tarvex
