// format.h: "{}"-placeholder formatting into fixed buffers.
//
// Log lines, alert texts and other messages are written as a pattern with
// "{}" placeholders filled left to right. TextBuf never allocates: text past
// its capacity is dropped and `truncated` is set.
#pragma once

#include <charconv>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "common/error.h"
#include "common/types.h"

namespace tarvex {

// A byte buffer owned by the caller, filled from the front.
struct TextBuf {
    char* data;
    size_t cap;
    size_t len = 0;
    bool truncated = false;

    TextBuf(char* d, size_t c) : data(d), cap(c) {}

    void append(std::string_view s) {
        size_t n = s.size();
        if (n > cap - len) {
            n = cap - len;
            truncated = true;
        }
        if (n) std::memcpy(data + len, s.data(), n);
        len += n;
    }
    void push(char c) {
        if (len < cap) {
            data[len++] = c;
        } else {
            truncated = true;
        }
    }
    std::string_view view() const { return {data, len}; }
};

// A TextBuf with its own inline storage.
template <size_t N>
struct FixedText : TextBuf {
    char storage[N];
    FixedText() : TextBuf(storage, N) {}
    FixedText(const FixedText&) = delete;
    FixedText& operator=(const FixedText&) = delete;
};

// Appends one value in its text form: integers in decimal, floating point in
// the shortest form that reads back exactly, errors by name, text as is.
template <class T>
void appendArg(TextBuf& b, const T& v) {
    if constexpr (std::is_same_v<T, bool>) {
        b.append(v ? "true" : "false");
    } else if constexpr (std::is_same_v<T, Err>) {
        b.append(errName(v));
    } else if constexpr (std::is_same_v<T, char>) {
        b.push(v);
    } else if constexpr (std::is_enum_v<T>) {
        appendArg(b, static_cast<std::underlying_type_t<T>>(v));
    } else if constexpr (std::is_integral_v<T>) {
        char tmp[24];
        auto r = std::to_chars(tmp, tmp + sizeof tmp, v);
        b.append(std::string_view(tmp, static_cast<size_t>(r.ptr - tmp)));
    } else if constexpr (std::is_floating_point_v<T>) {
        char tmp[64];
        auto r = std::to_chars(tmp, tmp + sizeof tmp, v);
        b.append(std::string_view(tmp, static_cast<size_t>(r.ptr - tmp)));
    } else {
        b.append(std::string_view(v));
    }
}

inline void formatRest(TextBuf& b, std::string_view f) {
    b.append(f);
}

template <class A, class... R>
void formatRest(TextBuf& b, std::string_view f, const A& a, const R&... rest) {
    size_t p = f.find("{}");
    if (p == std::string_view::npos) {
        b.append(f);
        return;
    }
    b.append(f.substr(0, p));
    appendArg(b, a);
    formatRest(b, f.substr(p + 2), rest...);
}

// Appends `pattern` to `b` with each "{}" replaced by the next argument.
template <class... A>
void formatInto(TextBuf& b, std::string_view pattern, const A&... args) {
    formatRest(b, pattern, args...);
}

}  // namespace tarvex
