// json.h: the API's JSON writer and request-body reader.
//
// Responses are written by hand in a fixed key order with no white space:
// JsonWriter places the commas and colons, writeJsonStr escapes strings.
// Every string written is valid UTF-8: valid sequences are copied unchanged,
// and each maximal ill-formed subsequence becomes U+FFFD. Floating-point
// numbers are fixed-point with a stated number of decimals (4 unless an
// endpoint says otherwise); NaN and infinities, which JSON cannot hold, are
// written as zero.
//
// Request bodies are parsed once per request as JSON (JsonBody), and every
// endpoint reads its fields through extractJsonString.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "common/format.h"
#include "common/types.h"
#include "http/arena.h"

namespace tarvex {

// How control characters in a string are treated.
enum class JsonEscape : u8 {
    // Tab, line feed and carriage return as \t \n \r; other control bytes
    // dropped (the API's strings).
    standard,
    // Every control byte dropped (the live feed's alert titles).
    drop_controls,
};

// Writes `s` as a JSON string (with its quotes) into `w`.
void writeJsonStr(BodyWriter& w, std::string_view s);
// The same into a fixed buffer (sets `truncated` when it does not fit).
void appendJsonStr(TextBuf& b, std::string_view s, JsonEscape mode = JsonEscape::standard);
// The escaped contents without quotes.
void appendJsonStrBody(TextBuf& b, std::string_view s, JsonEscape mode);
// A bare true or false into a fixed buffer.
inline void appendJsonBool(TextBuf& b, bool v) {
    b.append(v ? "true" : "false");
}

// `v` with exactly `decimals` digits after the point (0.7500).
void writeJsonFixed(BodyWriter& w, double v, int decimals = 4);
void appendJsonFixed(TextBuf& b, double v, int decimals);

// The length of the well-formed UTF-8 sequence at the start of `s`, or, when
// it is ill-formed, minus the length of its maximal ill-formed subpart
// (always at least one byte). `s` must not be empty.
int utf8Sequence(std::string_view s);

// Writes one JSON value after another, inserting commas and colons.
// Usage: j.beginObject().key("status").str("ok").endObject();
class JsonWriter {
  public:
    explicit JsonWriter(BodyWriter& w) : w_(w) {}

    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    JsonWriter& endArray();
    JsonWriter& key(std::string_view k);
    JsonWriter& str(std::string_view s);
    JsonWriter& u(u64 v);
    JsonWriter& i(i64 v);
    JsonWriter& fixed(double v, int decimals = 4);
    JsonWriter& boolean(bool v);
    JsonWriter& null();
    // A MAC address in its 17-character text form, as a string.
    JsonWriter& mac(const u8 mac[6]);
    // Already-formed JSON (a nested document), written as one value.
    JsonWriter& raw(std::string_view json);

    // The first failure to grow the response (OutOfMemory), if any.
    Err err() const { return w_.err(); }

  private:
    void beforeValue();
    static constexpr int kMaxDepth = 32;
    BodyWriter& w_;
    bool first_[kMaxDepth + 1] = {true};
    int depth_ = 0;
    bool after_key_ = false;
};

// A request body parsed as JSON. Never throws: a body that is not JSON, or
// not an object, simply has no fields.
class JsonBody {
  public:
    explicit JsonBody(std::string_view body);
    ~JsonBody();
    JsonBody(const JsonBody&) = delete;
    JsonBody& operator=(const JsonBody&) = delete;

    bool isObject() const;

  private:
    friend std::optional<std::string_view> extractJsonString(const JsonBody&, std::string_view);
    friend bool hasJsonMember(const JsonBody&, std::string_view);
    struct Doc;
    std::unique_ptr<Doc> doc_;
};

// The decoded value of the top-level member `name` when it is a string; no
// value when the member is missing, is not a string, or the body is not a
// JSON object. The view lives as long as `body`. Callers decide what a
// missing and an empty value mean.
std::optional<std::string_view> extractJsonString(const JsonBody& body, std::string_view name);

// Whether the body is a JSON object with a top-level member `name` of any type.
bool hasJsonMember(const JsonBody& body, std::string_view name);

}  // namespace tarvex
