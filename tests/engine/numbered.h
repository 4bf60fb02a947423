// numbered.h: test names like "node-17" built without string concatenation.
#pragma once

#include <cstdio>
#include <string>

namespace tarvex::test {

inline std::string numbered(const char* prefix, unsigned long long n) {
    char buf[96];
    const int len = std::snprintf(buf, sizeof buf, "%s%llu", prefix, n);
    return std::string(buf, static_cast<size_t>(len));
}

}  // namespace tarvex::test
