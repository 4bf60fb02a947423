// json.cpp: the API's JSON writer and request-body reader.
#include "api/json.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "common/mac.h"

namespace tarvex {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Appends the escaped body of `s` through `put`, one piece at a time.
template <class Put>
void escapeInto(std::string_view s, JsonEscape mode, Put&& put) {
    size_t run = 0;  // start of the bytes copied unchanged
    size_t i = 0;
    auto flush = [&](size_t end) {
        if (end > run) put(s.substr(run, end - run));
    };
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c != '"' && c != '\\' && c < 0x80) {
            ++i;
            continue;
        }
        if (c >= 0x80) {
            int n = utf8Sequence(s.substr(i));
            if (n > 0) {
                i += static_cast<size_t>(n);
                continue;
            }
            flush(i);
            put(kReplacement);
            i += static_cast<size_t>(-n);
            run = i;
            continue;
        }
        flush(i);
        if (c == '"') {
            put("\\\"");
        } else if (c == '\\') {
            put("\\\\");
        } else if (mode == JsonEscape::standard) {
            if (c == '\t') put("\\t");
            if (c == '\n') put("\\n");
            if (c == '\r') put("\\r");
        }
        ++i;
        run = i;
    }
    flush(i);
}

size_t formatFixed(double v, int decimals, char* buf, size_t cap) {
    if (!std::isfinite(v)) v = 0.0;
    if (decimals < 0) decimals = 0;
    if (decimals > 17) decimals = 17;
    int n = std::snprintf(buf, cap, "%.*f", decimals, v);
    if (n < 0) return 0;
    return static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1;
}

}  // namespace

int utf8Sequence(std::string_view s) {
    auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(0);
    if (c < 0x80) return 1;
    int need;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the first continuation byte
    if (c >= 0xC2 && c <= 0xDF) {
        need = 1;
    } else if (c == 0xE0) {
        need = 2;
        lo = 0xA0;
    } else if (c >= 0xE1 && c <= 0xEF) {
        need = 2;
        if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c == 0xF0) {
        need = 3;
        lo = 0x90;
    } else if (c >= 0xF1 && c <= 0xF3) {
        need = 3;
    } else if (c == 0xF4) {
        need = 3;
        hi = 0x8F;
    } else {
        return -1;
    }
    for (int k = 1; k <= need; ++k) {
        if (static_cast<size_t>(k) >= s.size()) return -k;
        unsigned char x = b(static_cast<size_t>(k));
        unsigned char l = k == 1 ? lo : 0x80;
        unsigned char h = k == 1 ? hi : 0xBF;
        if (x < l || x > h) return -k;
    }
    return need + 1;
}

void appendJsonStrBody(TextBuf& b, std::string_view s, JsonEscape mode) {
    escapeInto(s, mode, [&](std::string_view piece) { b.append(piece); });
}

void appendJsonStr(TextBuf& b, std::string_view s, JsonEscape mode) {
    b.push('"');
    appendJsonStrBody(b, s, mode);
    b.push('"');
}

void writeJsonStr(BodyWriter& w, std::string_view s) {
    w.push('"');
    escapeInto(s, JsonEscape::standard, [&](std::string_view piece) { w.append(piece); });
    w.push('"');
}

void writeJsonFixed(BodyWriter& w, double v, int decimals) {
    char buf[400];
    w.append({buf, formatFixed(v, decimals, buf, sizeof buf)});
}

void appendJsonFixed(TextBuf& b, double v, int decimals) {
    char buf[400];
    b.append({buf, formatFixed(v, decimals, buf, sizeof buf)});
}

void JsonWriter::beforeValue() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (depth_ > 0) {
        if (!first_[depth_]) w_.push(',');
        first_[depth_] = false;
    }
}

JsonWriter& JsonWriter::beginObject() {
    beforeValue();
    w_.push('{');
    if (depth_ < kMaxDepth) first_[++depth_] = true;
    return *this;
}

JsonWriter& JsonWriter::endObject() {
    if (depth_ > 0) --depth_;
    w_.push('}');
    return *this;
}

JsonWriter& JsonWriter::beginArray() {
    beforeValue();
    w_.push('[');
    if (depth_ < kMaxDepth) first_[++depth_] = true;
    return *this;
}

JsonWriter& JsonWriter::endArray() {
    if (depth_ > 0) --depth_;
    w_.push(']');
    return *this;
}

JsonWriter& JsonWriter::key(std::string_view k) {
    beforeValue();
    writeJsonStr(w_, k);
    w_.push(':');
    after_key_ = true;
    return *this;
}

JsonWriter& JsonWriter::str(std::string_view s) {
    beforeValue();
    writeJsonStr(w_, s);
    return *this;
}

JsonWriter& JsonWriter::u(u64 v) {
    beforeValue();
    FixedText<24> t;
    formatInto(t, "{}", v);
    w_.append(t.view());
    return *this;
}

JsonWriter& JsonWriter::i(i64 v) {
    beforeValue();
    FixedText<24> t;
    formatInto(t, "{}", v);
    w_.append(t.view());
    return *this;
}

JsonWriter& JsonWriter::fixed(double v, int decimals) {
    beforeValue();
    writeJsonFixed(w_, v, decimals);
    return *this;
}

JsonWriter& JsonWriter::boolean(bool v) {
    beforeValue();
    w_.append(v ? "true" : "false");
    return *this;
}

JsonWriter& JsonWriter::null() {
    beforeValue();
    w_.append("null");
    return *this;
}

JsonWriter& JsonWriter::mac(const u8 m[6]) {
    beforeValue();
    char text[17];
    w_.push('"');
    w_.append(formatMac(m, text));
    w_.push('"');
    return *this;
}

JsonWriter& JsonWriter::raw(std::string_view json) {
    beforeValue();
    w_.append(json);
    return *this;
}

struct JsonBody::Doc {
    nlohmann::json value;
};

JsonBody::JsonBody(std::string_view body) {
    try {
        auto parsed = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
        if (parsed.is_object()) {
            doc_ = std::make_unique<Doc>();
            doc_->value = std::move(parsed);
        }
    } catch (...) {
        doc_.reset();  // out of memory or too deep: no fields
    }
}

JsonBody::~JsonBody() = default;

bool JsonBody::isObject() const {
    return doc_ != nullptr;
}

std::optional<std::string_view> extractJsonString(const JsonBody& body, std::string_view name) {
    if (!body.doc_) return std::nullopt;
    const nlohmann::json& obj = body.doc_->value;
    auto it = obj.find(name);
    if (it == obj.end() || !it->is_string()) return std::nullopt;
    const auto& s = it->get_ref<const std::string&>();
    return std::string_view(s);
}

bool hasJsonMember(const JsonBody& body, std::string_view name) {
    if (!body.doc_) return false;
    const nlohmann::json& obj = body.doc_->value;
    return obj.find(name) != obj.end();
}

}  // namespace tarvex
