// cef.cpp: CEF header fields and the key=value extension.
#include "ingest/cef.h"

#include "common/log.h"
#include "common/number.h"
#include "common/text.h"

namespace tarvex::ingest::cef {

namespace {

constexpr size_t npos = std::string_view::npos;

bool isKeyChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The key before the next '='; false when there is none.
bool findKeyEq(std::string_view text, size_t pos, std::string_view& key, size_t& value_start) {
    size_t eq = text.find('=', pos);
    if (eq == npos) return false;
    key = text.substr(pos, eq - pos);
    value_start = eq + 1;
    return true;
}

// A value runs up to the first space that starts the next key (a space, a
// non-empty run of letters, digits or '_', and '='); values may hold other
// spaces. Returns the end of the value.
size_t extractValue(std::string_view text, size_t start) {
    size_t sp = text.find(' ', start);
    while (sp != npos) {
        size_t k = sp + 1;
        while (k < text.size() && isKeyChar(text[k])) ++k;
        if (k > sp + 1 && k < text.size() && text[k] == '=') return sp;
        sp = text.find(' ', sp + 1);
    }
    return text.size();
}

u16 portOf(std::string_view v) {
    Result<u64> r = parseDecimalDigits(v, 0xFFFF);
    return r.ok() ? static_cast<u16>(r.value) : 0;
}

void applyExtension(std::string_view key, std::string_view value, CefEvent& ev) {
    if (key == "src") {
        copyBounded(ev.src_ip, ev.src_ip_len, value);
    } else if (key == "dst") {
        copyBounded(ev.dst_ip, ev.dst_ip_len, value);
    } else if (key == "spt") {
        ev.src_port = portOf(value);
    } else if (key == "dpt") {
        ev.dst_port = portOf(value);
    } else if (key == "proto") {
        copyBounded(ev.protocol, ev.protocol_len, value);
    } else if (key == "msg") {
        copyBounded(ev.message, ev.message_len, value);
    } else if (key == "rt" || key == "end" || key == "UNIFIutcTime") {
        ev.timestamp = parseTimestampMs(value);
    } else if (key == "UNIFIcategory" || key == "cs1") {
        copyBounded(ev.unifi_category, ev.unifi_category_len, value);
    } else if (key == "UNIFIsubCategory" || key == "cs2") {
        copyBounded(ev.unifi_subcategory, ev.unifi_subcategory_len, value);
    } else if (key == "UNIFIclientMac" || key == "smac") {
        copyBounded(ev.client_mac, ev.client_mac_len, value);
    } else if (key == "request") {
        copyBounded(ev.request, ev.request_len, value);
    } else if (key == "fileHash") {
        copyBounded(ev.file_hash, ev.file_hash_len, value);
    }
}

}  // namespace

i64 parseTimestampMs(std::string_view text) {
    Result<i64> r = parseSignedDecimal(text);
    if (!r.ok()) return 0;
    i64 ms = r.value;
    i64 s = ms / 1000;
    if (ms % 1000 < 0) --s;  // floor, not truncation, for times before 1970
    return s;
}

std::optional<std::string_view> nextField(std::string_view& cursor) {
    // An odd run of backslashes escapes the pipe: "\|" is text, while "\\|"
    // is an escaped backslash followed by a field's end.
    for (size_t p = cursor.find('|'); p != npos; p = cursor.find('|', p + 1)) {
        size_t run = 0;
        while (run < p && cursor[p - 1 - run] == '\\') ++run;
        if (run % 2 == 1) continue;
        std::string_view field = cursor.substr(0, p);
        cursor.remove_prefix(p + 1);
        return field;
    }
    return std::nullopt;
}

void parseExtensions(std::string_view text, CefEvent& ev) {
    size_t pos = 0;
    while (true) {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
        if (pos >= text.size()) return;
        std::string_view key;
        size_t value_start = 0;
        if (!findKeyEq(text, pos, key, value_start)) return;
        size_t end = extractValue(text, value_start);
        applyExtension(key, text.substr(value_start, end - value_start), ev);
        pos = end < text.size() ? end + 1 : end;
    }
}

CefEvent parse(std::string_view line) {
    CefEvent ev{};
    // Syslog-framed records put a header before "CEF:".
    if (line.size() < 4 || line.substr(0, 4) != "CEF:") {
        size_t at = line.find("CEF:");
        if (at == npos) {
            static LogLimit limit;
            logWarnLimited(limit, "cef", "input does not contain CEF header");
            return ev;
        }
        line.remove_prefix(at);
    }
    std::string_view cursor = line.substr(4);
    size_t pipe = cursor.find('|');
    if (pipe == npos) {
        static LogLimit limit;
        logWarnLimited(limit, "cef", "missing pipe after version");
        return ev;
    }
    Result<u64> version = parseDecimalDigits(cursor.substr(0, pipe), 255);
    if (!version.ok()) {
        static LogLimit limit;
        logWarnLimited(limit, "cef", "invalid CEF version");
        return ev;
    }
    ev.version = static_cast<u8>(version.value);
    cursor.remove_prefix(pipe + 1);

    auto vendor = nextField(cursor);
    if (!vendor) return ev;
    copyBounded(ev.device_vendor, ev.device_vendor_len, *vendor);
    auto product = nextField(cursor);
    if (!product) return ev;
    copyBounded(ev.device_product, ev.device_product_len, *product);
    auto dev_version = nextField(cursor);
    if (!dev_version) return ev;
    copyBounded(ev.device_version, ev.device_version_len, *dev_version);
    auto signature = nextField(cursor);
    if (!signature) return ev;
    copyBounded(ev.signature_id, ev.signature_id_len, *signature);
    auto name = nextField(cursor);
    if (!name) return ev;
    copyBounded(ev.name, ev.name_len, *name);
    auto severity = nextField(cursor);
    if (!severity) return ev;
    Result<u64> sev = parseDecimalDigits(*severity, 255);
    ev.severity = sev.ok() ? static_cast<u8>(sev.value) : 0;

    if (!cursor.empty()) parseExtensions(cursor, ev);
    ev.valid = true;
    return ev;
}

}  // namespace tarvex::ingest::cef
