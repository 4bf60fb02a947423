// indicator_feed.cpp: the Zeek intel, CSV and plain-list readers.
#include "intel/indicator_feed.h"

#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "intel/indicator_value.h"

namespace tarvex {

namespace {

constexpr size_t kMaxColumns = 32;

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// Walks the lines of a text, '\n'-separated, '\r' dropped by trim.
struct Lines {
    std::string_view rest;
    u32 number = 0;
    bool next(std::string_view& line) {
        if (rest.empty()) return false;
        size_t nl = rest.find('\n');
        line = rest.substr(0, nl);
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
        ++number;
        return true;
    }
};

bool isCommentLine(std::string_view t) {
    return t.empty() || t.front() == '#' || t.front() == ';';
}

// Splits on one separator byte; at most kMaxColumns fields.
size_t splitOn(std::string_view line, char sep, std::string_view (&out)[kMaxColumns]) {
    size_t n = 0;
    while (n < kMaxColumns) {
        size_t p = line.find(sep);
        out[n++] = line.substr(0, p);
        if (p == std::string_view::npos) break;
        line.remove_prefix(p + 1);
    }
    return n;
}

// One CSV line: fields separated by ',', a field in double quotes may hold
// commas and "" for a quote. Quoted fields are copied into `scratch`.
// False on an unterminated quote.
bool splitCsv(std::string_view line, std::string_view (&out)[kMaxColumns], size_t& n,
              std::string& scratch) {
    n = 0;
    scratch.clear();
    scratch.reserve(line.size());
    size_t i = 0;
    while (n < kMaxColumns) {
        while (i < line.size() && line[i] == ' ') ++i;
        if (i < line.size() && line[i] == '"') {
            size_t start = scratch.size();
            ++i;
            bool closed = false;
            while (i < line.size()) {
                if (line[i] == '"') {
                    if (i + 1 < line.size() && line[i + 1] == '"') {
                        scratch.push_back('"');
                        i += 2;
                        continue;
                    }
                    closed = true;
                    ++i;
                    break;
                }
                scratch.push_back(line[i++]);
            }
            if (!closed) return false;
            out[n++] = std::string_view(scratch).substr(start);
            while (i < line.size() && line[i] != ',') ++i;
        } else {
            size_t p = line.find(',', i);
            out[n++] = trim(line.substr(i, p == std::string_view::npos ? p : p - i));
            i = p;
        }
        if (i == std::string_view::npos || i >= line.size()) break;
        ++i;  // the comma
    }
    // Views into scratch stay valid: it was reserved for the whole line.
    return true;
}

std::optional<IndicatorSeverity> severityText(std::string_view t) {
    static constexpr std::string_view kNames[] = {"info", "low", "medium", "high", "critical"};
    for (size_t i = 0; i < std::size(kNames); ++i)
        if (equalsNoCase(t, kNames[i])) return static_cast<IndicatorSeverity>(i);
    return std::nullopt;
}

std::optional<IndicatorType> typeText(std::string_view t) {
    static constexpr std::string_view kNames[] = {"ip",        "domain",      "url",   "hash_md5",
                                                  "hash_sha1", "hash_sha256", "email", "cidr"};
    for (size_t i = 0; i < std::size(kNames); ++i)
        if (equalsNoCase(t, kNames[i])) return static_cast<IndicatorType>(i);
    return std::nullopt;
}

std::optional<IndicatorType> zeekType(std::string_view t, std::string_view value) {
    if (t == "Intel::ADDR") return IndicatorType::ip;
    if (t == "Intel::SUBNET") return IndicatorType::cidr;
    if (t == "Intel::DOMAIN") return IndicatorType::domain;
    if (t == "Intel::URL") return IndicatorType::url;
    if (t == "Intel::EMAIL") return IndicatorType::email;
    if (t == "Intel::FILE_HASH") {
        if (value.size() == 32) return IndicatorType::hash_md5;
        if (value.size() == 40) return IndicatorType::hash_sha1;
        return IndicatorType::hash_sha256;  // the length is checked with the value
    }
    return std::nullopt;
}

struct Reader {
    const FeedDefaults& defaults;
    FeedResult& result;
    Indicator* out;
    u32 cap;

    void reject(u32 line, std::string_view text, std::string_view reason) {
        ++result.rejected;
        if (result.kept < FeedResult::kKeptRejections)
            result.first_rejected[result.kept++] = {line, text, reason};
    }

    // Checks and stores one value; the reason of a refusal otherwise.
    const char* take(std::optional<IndicatorType> type, std::string_view value,
                     std::string_view source, IndicatorSeverity severity, i64 expiry) {
        if (value.empty()) return "empty value";
        if (value.size() > 256) return "value longer than 256 bytes";
        if (!type) type = inferIndicatorType(value);
        if (!type) return "not an address, network, domain, URL, hash or e-mail address";
        if (result.count >= cap) return "more indicators than the store holds";
        Indicator& ind = out[result.count];
        std::memset(&ind, 0, sizeof ind);
        ind.indicator_type = *type;
        if (!normalizeIndicator(*type, value, ind.value, ind.value_len))
            return "value does not match its type";
        ind.setSource(source.empty() ? defaults.source : source);
        ind.severity = severity;
        ind.expiry = expiry;
        ++result.count;
        return nullptr;
    }

    void plain(std::string_view text) {
        Lines lines{text};
        std::string_view raw;
        while (lines.next(raw)) {
            std::string_view t = trim(raw);
            if (isCommentLine(t)) continue;
            // A comment after white space ends the value ("1.2.3.0/24 ; SBL1").
            for (size_t i = 1; i < t.size(); ++i) {
                if ((t[i] == '#' || t[i] == ';') && (t[i - 1] == ' ' || t[i - 1] == '\t')) {
                    t = trim(t.substr(0, i));
                    break;
                }
            }
            std::string_view first = t.substr(0, t.find_first_of(" \t"));
            std::string_view value = first;
            if (first.size() < t.size()) {
                std::string_view second = trim(t.substr(first.size()));
                second = second.substr(0, second.find_first_of(" \t"));
                if (first == "0.0.0.0" || first == "127.0.0.1" || first == "::") {
                    value = second;  // a hosts-file line names the blocked host second
                } else {
                    reject(lines.number, raw, "more than one value on the line");
                    continue;
                }
            }
            if (const char* why = take(std::nullopt, value, {}, defaults.severity, 0))
                reject(lines.number, raw, why);
        }
    }

    void csv(std::string_view text) {
        Lines lines{text};
        std::string_view raw;
        int col_type = -1, col_value = -1, col_sev = -1, col_src = -1, col_exp = -1;
        bool header = false;
        std::string scratch;
        std::string_view f[kMaxColumns];
        size_t n = 0;
        while (lines.next(raw)) {
            std::string_view t = trim(raw);
            if (t.empty() || t.front() == '#') continue;
            if (!splitCsv(t, f, n, scratch)) {
                reject(lines.number, raw, "unterminated quote");
                continue;
            }
            if (!header) {
                for (size_t i = 0; i < n; ++i) {
                    std::string_view name = trim(f[i]);
                    int c = static_cast<int>(i);
                    if (equalsNoCase(name, "type")) col_type = c;
                    if (equalsNoCase(name, "value")) col_value = c;
                    if (equalsNoCase(name, "severity")) col_sev = c;
                    if (equalsNoCase(name, "source")) col_src = c;
                    if (equalsNoCase(name, "expiry")) col_exp = c;
                }
                header = true;
                continue;
            }
            auto field = [&](int c) {
                return c >= 0 && static_cast<size_t>(c) < n ? trim(f[c]) : std::string_view();
            };
            std::optional<IndicatorType> type;
            if (!field(col_type).empty()) {
                type = typeText(field(col_type));
                if (!type) {
                    reject(lines.number, raw, "unknown type");
                    continue;
                }
            }
            IndicatorSeverity severity = defaults.severity;
            if (!field(col_sev).empty()) {
                auto s = severityText(field(col_sev));
                if (!s) {
                    reject(lines.number, raw, "unknown severity");
                    continue;
                }
                severity = *s;
            }
            i64 expiry = 0;
            if (!parseExpiry(field(col_exp), expiry)) {
                reject(lines.number, raw, "unreadable expiry");
                continue;
            }
            if (const char* why = take(type, field(col_value), field(col_src), severity, expiry))
                reject(lines.number, raw, why);
        }
    }

    void zeek(std::string_view text) {
        Lines lines{text};
        std::string_view raw;
        int col_ind = -1, col_type = -1, col_src = -1;
        std::string_view f[kMaxColumns];
        while (lines.next(raw)) {
            std::string_view t = raw;
            if (!t.empty() && t.back() == '\r') t.remove_suffix(1);
            if (t.starts_with("#fields")) {
                col_ind = col_type = col_src = -1;
                size_t n = splitOn(t, '\t', f);
                for (size_t i = 1; i < n; ++i) {
                    int c = static_cast<int>(i) - 1;
                    if (f[i] == "indicator") col_ind = c;
                    if (f[i] == "indicator_type") col_type = c;
                    if (f[i] == "meta.source") col_src = c;
                }
                continue;
            }
            if (trim(t).empty() || t.front() == '#') continue;
            if (col_ind < 0 || col_type < 0) {
                reject(lines.number, raw, "no indicator and indicator_type columns");
                continue;
            }
            size_t n = splitOn(t, '\t', f);
            auto field = [&](int c) {
                std::string_view v =
                    c >= 0 && static_cast<size_t>(c) < n ? f[c] : std::string_view();
                return v == "-" ? std::string_view() : v;
            };
            std::string_view value = field(col_ind);
            auto type = zeekType(field(col_type), value);
            if (!type) {
                reject(lines.number, raw, "unsupported indicator_type");
                continue;
            }
            if (const char* why = take(type, value, field(col_src), defaults.severity, 0))
                reject(lines.number, raw, why);
        }
    }
};

bool readUnsigned(std::string_view s, i64& out) {
    if (s.empty() || s.size() > 18) return false;
    i64 v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

}  // namespace

bool parseExpiry(std::string_view t, i64& out) {
    t = trim(t);
    out = 0;
    if (t.empty()) return true;
    if (t.find('-') == std::string_view::npos) return readUnsigned(t, out);
    // YYYY-MM-DD[THH:MM:SS[Z]]
    i64 y, mo, d, h = 0, mi = 0, s = 0;
    if (t.size() < 10 || t[4] != '-' || t[7] != '-') return false;
    if (!readUnsigned(t.substr(0, 4), y) || !readUnsigned(t.substr(5, 2), mo) ||
        !readUnsigned(t.substr(8, 2), d))
        return false;
    std::string_view rest = t.substr(10);
    if (!rest.empty()) {
        if ((rest[0] != 'T' && rest[0] != ' ') || rest.size() < 9 || rest[3] != ':' ||
            rest[6] != ':')
            return false;
        if (!readUnsigned(rest.substr(1, 2), h) || !readUnsigned(rest.substr(4, 2), mi) ||
            !readUnsigned(rest.substr(7, 2), s))
            return false;
        rest.remove_prefix(9);
        if (rest == "Z") rest = {};
        if (!rest.empty()) return false;
    }
    if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60)
        return false;
    std::tm tm{};
    tm.tm_year = static_cast<int>(y - 1900);
    tm.tm_mon = static_cast<int>(mo - 1);
    tm.tm_mday = static_cast<int>(d);
    tm.tm_hour = static_cast<int>(h);
    tm.tm_min = static_cast<int>(mi);
    tm.tm_sec = static_cast<int>(s);
    out = static_cast<i64>(timegm(&tm));
    return out > 0;
}

FeedFormat detectFeedFormat(std::string_view text) {
    Lines lines{text};
    std::string_view raw;
    while (lines.next(raw)) {
        std::string_view t = trim(raw);
        if (t.starts_with("#fields")) return FeedFormat::zeek;
        if (t.empty() || t.front() == '#' || t.front() == ';') continue;
        // The first line with content: a header naming a value column?
        std::string_view f[kMaxColumns];
        size_t n = splitOn(t, ',', f);
        if (n > 1) {
            for (size_t i = 0; i < n; ++i) {
                std::string_view name = trim(f[i]);
                if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
                    name = name.substr(1, name.size() - 2);
                if (equalsNoCase(name, "value")) return FeedFormat::csv;
            }
        }
        return FeedFormat::plain;
    }
    return FeedFormat::plain;
}

FeedResult parseIndicatorFeed(std::string_view text, const FeedDefaults& defaults, Indicator* out,
                              u32 cap) {
    FeedResult result{};
    result.format = detectFeedFormat(text);
    Reader r{defaults, result, out, cap};
    switch (result.format) {
        case FeedFormat::zeek:
            r.zeek(text);
            break;
        case FeedFormat::csv:
            r.csv(text);
            break;
        case FeedFormat::plain:
            r.plain(text);
            break;
    }
    return result;
}

}  // namespace tarvex
