// cpu.h: per-processor function versions.
//
// TARVEX_TARGET_CLONES builds a function once per listed instruction set and
// lets the loader pick the best at start. It is used only with g++ outside
// sanitizer builds: the loader's resolvers run before a sanitizer runtime is
// ready (ThreadSanitizer crashes at load), and clang 14 cannot link them
// there. Elsewhere the function is built once, for the default target.
#pragma once

#if defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__) && \
    !defined(__SANITIZE_ADDRESS__)
#define TARVEX_TARGET_CLONES(...) __attribute__((target_clones(__VA_ARGS__)))
#else
#define TARVEX_TARGET_CLONES(...)
#endif
