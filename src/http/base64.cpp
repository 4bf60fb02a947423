// base64.cpp: standard Base64 encoding.
#include "http/base64.h"

namespace tarvex {

size_t base64Encode(std::string_view in, char* out) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    size_t n = in.size();
    size_t o = 0;
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        u32 v = (u32{p[i]} << 16) | (u32{p[i + 1]} << 8) | p[i + 2];
        out[o++] = kAlphabet[(v >> 18) & 63];
        out[o++] = kAlphabet[(v >> 12) & 63];
        out[o++] = kAlphabet[(v >> 6) & 63];
        out[o++] = kAlphabet[v & 63];
    }
    if (n - i == 1) {
        u32 v = u32{p[i]} << 16;
        out[o++] = kAlphabet[(v >> 18) & 63];
        out[o++] = kAlphabet[(v >> 12) & 63];
        out[o++] = '=';
        out[o++] = '=';
    } else if (n - i == 2) {
        u32 v = (u32{p[i]} << 16) | (u32{p[i + 1]} << 8);
        out[o++] = kAlphabet[(v >> 18) & 63];
        out[o++] = kAlphabet[(v >> 12) & 63];
        out[o++] = kAlphabet[(v >> 6) & 63];
        out[o++] = '=';
    }
    return o;
}

}  // namespace tarvex
