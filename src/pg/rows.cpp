// rows.cpp: reading result rows and converting their text values.
#include "pg/rows.h"

#include <libpq-fe.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

#include "common/number.h"

namespace tarvex {

namespace {

template <class I>
Result<I> parseInt(std::string_view t) {
    if (t.empty()) return Err::InvalidCharacter;
    i64 v = 0;
    auto r = std::from_chars(t.data(), t.data() + t.size(), v);
    if (r.ec == std::errc::result_out_of_range) return Err::Overflow;
    if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return Err::InvalidCharacter;
    if (v < std::numeric_limits<I>::min() || v > std::numeric_limits<I>::max()) {
        return Err::Overflow;
    }
    return static_cast<I>(v);
}

// The server writes special values as NaN, Infinity and -Infinity.
std::optional<f64> specialFloat(std::string_view t) {
    if (t == "NaN") return std::numeric_limits<f64>::quiet_NaN();
    if (t == "Infinity") return std::numeric_limits<f64>::infinity();
    if (t == "-Infinity") return -std::numeric_limits<f64>::infinity();
    return std::nullopt;
}

}  // namespace

PgRows::PgRows(PgRows&& o) noexcept
    : res_(std::exchange(o.res_, nullptr)), row_(std::exchange(o.row_, -1)) {}

PgRows& PgRows::operator=(PgRows&& o) noexcept {
    if (this != &o) {
        close();
        res_ = std::exchange(o.res_, nullptr);
        row_ = std::exchange(o.row_, -1);
    }
    return *this;
}

void PgRows::close() {
    if (res_) PQclear(res_);
    res_ = nullptr;
    row_ = -1;
}

bool PgRows::next() {
    if (!res_ || row_ + 1 >= PQntuples(res_)) {
        if (res_) row_ = PQntuples(res_);
        return false;
    }
    ++row_;
    return true;
}

int PgRows::rowCount() const {
    return res_ ? PQntuples(res_) : 0;
}

int PgRows::columnCount() const {
    return res_ ? PQnfields(res_) : 0;
}

u64 PgRows::affected() const {
    if (!res_) return 0;
    std::string_view t = PQcmdTuples(res_);
    u64 v = 0;
    std::from_chars(t.data(), t.data() + t.size(), v);
    return v;
}

bool PgRows::isNull(int col) const {
    if (!res_ || row_ < 0 || row_ >= PQntuples(res_) || col < 0 || col >= PQnfields(res_)) {
        return true;
    }
    return PQgetisnull(res_, row_, col) != 0;
}

Result<std::string_view> PgRows::raw(int col) const {
    if (isNull(col)) return Err::UnexpectedNull;
    return std::string_view(PQgetvalue(res_, row_, col),
                            static_cast<size_t>(PQgetlength(res_, row_, col)));
}

std::optional<std::string_view> PgRows::getText(int col) const {
    Result<std::string_view> r = raw(col);
    if (!r.ok()) return std::nullopt;
    return r.value;
}

Result<i64> PgRows::getI64(int col) const {
    Result<std::string_view> r = raw(col);
    if (!r.ok()) return r.err;
    return parseInt<i64>(r.value);
}

Result<i32> PgRows::getI32(int col) const {
    Result<std::string_view> r = raw(col);
    if (!r.ok()) return r.err;
    return parseInt<i32>(r.value);
}

Result<std::int16_t> PgRows::getI16(int col) const {
    Result<std::string_view> r = raw(col);
    if (!r.ok()) return r.err;
    return parseInt<std::int16_t>(r.value);
}

Result<f64> PgRows::getF64(int col) const {
    Result<std::string_view> r = raw(col);
    if (!r.ok()) return r.err;
    if (auto s = specialFloat(r.value)) return *s;
    std::string_view t = r.value;
    if (t.empty()) return Err::InvalidCharacter;
    f64 v = 0;
    auto res = std::from_chars(t.data(), t.data() + t.size(), v);
    if (res.ec == std::errc::result_out_of_range) return Err::Overflow;
    if (res.ec != std::errc() || res.ptr != t.data() + t.size()) return Err::InvalidCharacter;
    return v;
}

Result<f32> PgRows::getF32(int col) const {
    Result<std::string_view> r = raw(col);
    if (!r.ok()) return r.err;
    if (auto s = specialFloat(r.value)) return static_cast<f32>(*s);
    // Correctly rounded straight from the text, not through a double.
    Result<f32> v = parseFloat32(r.value);
    if (!v.ok()) return v.err;
    if (std::isinf(v.value)) return Err::Overflow;
    return v.value;
}

Result<bool> PgRows::getBool(int col) const {
    Result<std::string_view> r = raw(col);
    if (!r.ok()) return r.err;
    if (r.value == "t") return true;
    if (r.value == "f") return false;
    return Err::InvalidCharacter;
}

}  // namespace tarvex
