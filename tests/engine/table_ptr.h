// table_ptr.h: owns a zero-filled engine table for the length of a test.
#pragma once

#include <memory>

#include "common/table.h"

namespace tarvex::test {

template <class T>
struct Unmapper {
    void operator()(T* p) const { unmapTable(p); }
};

template <class T>
using TablePtr = std::unique_ptr<T, Unmapper<T>>;

template <class T>
TablePtr<T> makeTable() {
    return TablePtr<T>(mapZeroed<T>());
}

}  // namespace tarvex::test
