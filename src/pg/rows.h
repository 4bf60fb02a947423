// rows.h: the rows of one statement's result, read one at a time.
//
// PgRows owns a complete result received from the server. `next()` moves to
// the following row (the cursor starts before the first); the getters read a
// column of the current row by index. Values arrive in text form; the typed
// getters convert them and fail with UnexpectedNull for NULL, InvalidCharacter
// for text of another type and Overflow for a value out of the type's range,
// so a caller can map any failure to 0 or to an absent value.
//
// Move-only; one thread at a time. The result stays valid after the
// connection that produced it has gone back to the pool.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/error.h"
#include "common/types.h"

struct pg_result;

namespace tarvex {

class PgRows {
  public:
    PgRows() = default;
    explicit PgRows(pg_result* res) : res_(res) {}
    PgRows(PgRows&& o) noexcept;
    PgRows& operator=(PgRows&& o) noexcept;
    PgRows(const PgRows&) = delete;
    PgRows& operator=(const PgRows&) = delete;
    ~PgRows() { close(); }

    // Advances to the next row; false once past the last.
    bool next();
    // Number of rows and of columns in the result.
    int rowCount() const;
    int columnCount() const;
    // Rows affected by an INSERT, UPDATE or DELETE (0 for other statements).
    u64 affected() const;

    bool isNull(int col) const;
    // The column's text; nullopt for NULL (and for a column out of range).
    std::optional<std::string_view> getText(int col) const;
    Result<i64> getI64(int col) const;
    Result<i32> getI32(int col) const;
    Result<std::int16_t> getI16(int col) const;
    Result<f32> getF32(int col) const;
    Result<f64> getF64(int col) const;
    // A boolean column ("t" or "f").
    Result<bool> getBool(int col) const;

    // Frees the result; further reads see no rows.
    void close();

  private:
    Result<std::string_view> raw(int col) const;

    pg_result* res_ = nullptr;  // owned
    int row_ = -1;              // current row; -1 before the first
};

}  // namespace tarvex
