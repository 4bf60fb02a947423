// table.h: zero-filled blocks for the large fixed tables.
//
// Every large table is obtained once at start as one page-aligned,
// zero-filled anonymous mapping and released at exit.
#pragma once

#include <sys/mman.h>

#include <new>
#include <type_traits>

#include "common/error.h"

namespace tarvex {

// Calls f(index, slot) for the active slots of a table whose slots are
// filled in order and never freed, in slot order, until f returns false.
// `count` is the table's number of used slots: once that many active slots
// have been met the rest are empty, so the scan ends there.
template <class T, size_t N, class F>
void forEachActiveSlot(const T (&slots)[N], u32 count, F&& f) {
    for (u32 i = 0, seen = 0; i < N && seen < count; ++i) {
        if (!slots[i].active) continue;
        ++seen;
        if (!f(i, slots[i])) return;
    }
}

// Maps a zero-filled block for one T and returns it (nullptr when the system
// has no memory). T must be valid when all its bytes are zero.
template <class T>
T* mapZeroed() {
    static_assert(std::is_trivially_default_constructible_v<T> || std::is_standard_layout_v<T>);
    void* p =
        ::mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    return static_cast<T*>(p);
}

template <class T>
void unmapTable(T* p) {
    if (p) ::munmap(p, sizeof(T));
}

}  // namespace tarvex
