// mapped_table.h: a zero-filled table for one test, as start-up makes them.
#pragma once

#include <gtest/gtest.h>

#include "common/table.h"

namespace tarvex::test {

// Maps a zero-filled T, calls its initInPlace(), and unmaps it at scope end.
template <class T>
class MappedTable {
  public:
    MappedTable() : p_(mapZeroed<T>()) {
        if (p_) p_->initInPlace();
    }
    ~MappedTable() { unmapTable(p_); }
    MappedTable(const MappedTable&) = delete;
    MappedTable& operator=(const MappedTable&) = delete;

    bool ok() const { return p_ != nullptr; }
    T& operator*() const { return *p_; }
    T* operator->() const { return p_; }

  private:
    T* p_;
};

}  // namespace tarvex::test
