// json_string.cpp: JSON string escaping with UTF-8 repair.
#include "ai/json_string.h"

namespace tarvex {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool isContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Length of the well-formed UTF-8 sequence starting at s[i], or 0 when the
// bytes there do not start one. On 0, `bad` is the length of the maximal
// ill-formed subpart to replace (at least 1).
size_t sequenceLength(std::string_view s, size_t i, size_t& bad) {
    auto c = static_cast<unsigned char>(s[i]);
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        need = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 3;
        if (c == 0xE0) lo = 0xA0;  // no overlong three-byte forms
        if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 4;
        if (c == 0xF0) lo = 0x90;  // no overlong four-byte forms
        if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
        bad = 1;  // stray continuation byte, C0, C1 or F5..FF
        return 0;
    }
    size_t k = 1;
    while (k < need) {
        if (i + k >= s.size()) break;
        auto b = static_cast<unsigned char>(s[i + k]);
        bool ok = (k == 1) ? (b >= lo && b <= hi) : isContinuation(b);
        if (!ok) break;
        ++k;
    }
    if (k == need) return need;
    bad = k;
    return 0;
}

}  // namespace

void appendJsonString(TextBuf& out, std::string_view text) {
    out.push('"');
    size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            switch (c) {
                case '\t':
                    out.append("\\t");
                    break;
                case '\n':
                    out.append("\\n");
                    break;
                case '\r':
                    out.append("\\r");
                    break;
                case '"':
                    out.append("\\\"");
                    break;
                case '\\':
                    out.append("\\\\");
                    break;
                default:
                    if (c >= 0x20) out.push(static_cast<char>(c));
                    break;
            }
            ++i;
            continue;
        }
        size_t bad = 0;
        size_t n = sequenceLength(text, i, bad);
        if (n) {
            out.append(text.substr(i, n));
            i += n;
        } else {
            out.append(kReplacement);
            i += bad;
        }
    }
    out.push('"');
}

}  // namespace tarvex
