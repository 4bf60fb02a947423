// json_string.h: JSON string literals for the settings and report bodies.
//
// Temporary: the settings, LLM settings and compliance bodies are written
// with this helper until the shared JSON writer of the API layer lands; they
// should then switch to it, keeping the same escaping rule.
#pragma once

#include <string_view>

#include "common/format.h"

namespace tarvex {

// Appends `text` as a quoted JSON string: tab, line feed, carriage return,
// double quote and backslash are escaped with a backslash; other bytes below
// 0x20 are dropped; every ill-formed UTF-8 sequence (stray continuation
// byte, overlong form, surrogate, code point above U+10FFFF, cut-off
// sequence) becomes one U+FFFD per maximal ill-formed subpart; everything
// else is copied. The result is always valid UTF-8 JSON. Output past the
// buffer's capacity is dropped and sets `truncated`.
void appendJsonString(TextBuf& out, std::string_view text);

// Appends a bare JSON boolean.
inline void appendJsonBool(TextBuf& out, bool v) {
    out.append(v ? "true" : "false");
}

}  // namespace tarvex
