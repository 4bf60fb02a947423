// param.h: one positional statement parameter ($1..$n), sent in text form.
//
// A PgParam is either NULL or a byte string. Text is referenced, not copied:
// the caller keeps it alive until the statement has run (a braced list of
// parameters in the call itself always does). Numbers are formatted into the
// parameter's own storage: integers in decimal, floats in the shortest form
// that reads back to the same value, so a 32-bit float bound to a `real`
// column arrives unchanged.
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <string>
#include <string_view>

#include "common/types.h"

namespace tarvex {

class PgParam {
  public:
    PgParam(std::nullptr_t) : null_(true) {}                // NOLINT: implicit on purpose
    PgParam(std::string_view text) : text_(text) {}         // NOLINT
    PgParam(const char* text) : text_(text ? text : "") {}  // NOLINT
    PgParam(const std::string& text) : text_(text) {}       // NOLINT
    PgParam(f32 v) { setNumber(std::to_chars(num_, num_ + sizeof num_, v)); }  // NOLINT
    PgParam(f64 v) { setNumber(std::to_chars(num_, num_ + sizeof num_, v)); }  // NOLINT
    template <std::integral I>
    requires(!std::same_as<I, bool> && !std::same_as<I, char>) PgParam(I v) {  // NOLINT
        setNumber(std::to_chars(num_, num_ + sizeof num_, v));
    }

    // A text that is sent as NULL when empty (optional columns).
    static PgParam textOrNull(std::string_view text) {
        return text.empty() ? PgParam(nullptr) : PgParam(text);
    }

    bool isNull() const { return null_; }
    // The bytes to send (empty for NULL).
    std::string_view text() const { return num_len_ ? std::string_view(num_, num_len_) : text_; }

  private:
    void setNumber(std::to_chars_result r) { num_len_ = static_cast<u8>(r.ptr - num_); }

    std::string_view text_;
    char num_[40] = {};
    u8 num_len_ = 0;  // non-zero when the value lives in num_
    bool null_ = false;
};

}  // namespace tarvex
