// syslog.cpp: PRI, RFC 5424 and RFC 3164 framing of one syslog line.
#include "ingest/syslog.h"

#include "common/clock.h"
#include "common/log.h"
#include "common/number.h"
#include "common/text.h"

namespace tarvex::ingest::syslog {

namespace {

// A fixed-width numeric field of a timestamp; false when it does not read.
template <class T>
bool readField(std::string_view text, u64 max, T& out) {
    Result<u64> r = parseDecimalDigits(text, max);
    if (!r.ok()) return false;
    out = static_cast<T>(r.value);
    return true;
}

bool isLeapYear(i64 y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

// Days from 1970-01-01 to January 1 of `year` (negative before 1970).
i64 daysBeforeYear(i64 year) {
    // Leap days in years 1..n (floored, so year 0 counts as a leap year).
    auto floorDiv = [](i64 a, i64 b) { return a / b - ((a % b != 0) && (a < 0)); };
    auto leaps = [&](i64 n) { return floorDiv(n, 4) - floorDiv(n, 100) + floorDiv(n, 400); };
    i64 y = year - 1;
    return (year - 1970) * 365 + (leaps(y) - leaps(1969));
}

// RFC 5424 timestamp token: "2024-03-05T10:20:30[.frac](Z|+hh:mm|-hh:mm)" or
// the nil value "-". Anything unreadable gives 0.
i64 parseIsoTimestamp(std::string_view t) {
    if (t.size() < 20 || t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' ||
        t[16] != ':') {
        return 0;
    }
    u16 year = 0;
    u8 month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!readField(t.substr(0, 4), 0xFFFF, year) || !readField(t.substr(5, 2), 15, month) ||
        month < 1 || month > 12 || !readField(t.substr(8, 2), 31, day) ||
        !readField(t.substr(11, 2), 31, hour) || !readField(t.substr(14, 2), 63, minute) ||
        !readField(t.substr(17, 2), 63, second)) {
        return 0;
    }
    i64 ts = epochFromComponents(year, month, day, hour, minute, second);
    // A fraction of a second is skipped, not read (times are whole seconds);
    // a numeric offset after it still converts the time to UTC. "Z" or
    // anything unreadable leaves the time as it stands.
    size_t zone = 19;
    if (t[zone] == '.') {
        ++zone;
        while (zone < t.size() && t[zone] >= '0' && t[zone] <= '9') ++zone;
    }
    if (zone < t.size() && (t[zone] == '+' || t[zone] == '-') && t.size() - zone >= 6) {
        u8 hh = 0, mm = 0;
        if (readField(t.substr(zone + 1, 2), 255, hh) &&
            readField(t.substr(zone + 4, 2), 255, mm)) {
            i64 offset = static_cast<i64>(hh) * 3600 + static_cast<i64>(mm) * 60;
            ts += t[zone] == '+' ? -offset : offset;
        }
    }
    return ts;
}

u8 monthFromAbbr(std::string_view m) {
    static constexpr std::string_view kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (u8 i = 0; i < 12; ++i) {
        if (m == kMonths[i]) return static_cast<u8>(i + 1);
    }
    return 0;
}

// The next space-terminated token from `pos`; false when no space follows.
bool nextToken(std::string_view rest, size_t& pos, std::string_view& token) {
    size_t sp = rest.find(' ', pos);
    if (sp == std::string_view::npos) return false;
    token = rest.substr(pos, sp - pos);
    pos = sp + 1;
    return true;
}

}  // namespace

i64 epochFromComponents(u16 year, u8 month, u8 day, u8 hour, u8 minute, u8 second) {
    static constexpr u8 kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    i64 days = daysBeforeYear(year);
    u8 full_months = month > 0 ? static_cast<u8>(month - 1) : 0;
    if (full_months > 12) full_months = 12;
    for (u8 m = 0; m < full_months; ++m) days += kMonthDays[m];
    if (full_months >= 2 && isLeapYear(year)) days += 1;
    days += static_cast<i64>(day) - 1;
    return days * 86400 + static_cast<i64>(hour) * 3600 + static_cast<i64>(minute) * 60 +
           static_cast<i64>(second);
}

u16 yearOfEpoch(i64 seconds) {
    if (seconds < 0) return 1970;
    i64 days = seconds / 86400;
    // Jump close by whole 400-year cycles, then walk year by year.
    i64 year = 1970 + (days / 146097) * 400;
    days %= 146097;
    while (true) {
        i64 len = isLeapYear(year) ? 366 : 365;
        if (days < len) break;
        days -= len;
        ++year;
    }
    return year > 0xFFFF ? static_cast<u16>(0xFFFF) : static_cast<u16>(year);
}

bool parseRfc5424(std::string_view rest, SyslogMessage& msg) {
    // "1 " : a one-digit version (its value is not used) and a space.
    if (rest.size() < 2 || rest[1] != ' ') return false;
    size_t pos = 2;
    std::string_view token;
    if (!nextToken(rest, pos, token)) return false;
    msg.timestamp = parseIsoTimestamp(token);

    if (!nextToken(rest, pos, token)) return false;
    if (token != "-") copyBounded(msg.hostname, msg.hostname_len, token);
    if (!nextToken(rest, pos, token)) return false;
    if (token != "-") copyBounded(msg.app_name, msg.app_name_len, token);
    if (!nextToken(rest, pos, token)) return false;
    if (token != "-") copyBounded(msg.proc_id, msg.proc_id_len, token);
    if (!nextToken(rest, pos, token)) return false;  // msg id, not kept
    if (pos >= rest.size()) return true;

    // Structured data: the nil value, or one bracketed element (nested
    // brackets counted); a second element stays part of the message. Inside
    // a quoted parameter value brackets are text and a backslash escapes the
    // next byte, so "\]" or a lone "[" in a value does not end the element.
    if (rest[pos] == '-') {
        ++pos;
        if (pos < rest.size() && rest[pos] == ' ') ++pos;
        if (pos >= rest.size()) return true;
    } else if (rest[pos] == '[') {
        size_t depth = 0;
        bool quoted = false;
        size_t end = std::string_view::npos;
        for (size_t i = pos; i < rest.size(); ++i) {
            char c = rest[i];
            if (quoted) {
                if (c == '\\') {
                    ++i;
                } else if (c == '"') {
                    quoted = false;
                }
            } else if (c == '"') {
                quoted = true;
            } else if (c == '[') {
                ++depth;
            } else if (c == ']' && --depth == 0) {
                end = i + 1;
                break;
            }
        }
        if (end == std::string_view::npos) return true;  // never closed: no message
        pos = end;
        if (pos < rest.size() && rest[pos] == ' ') ++pos;
    }

    std::string_view text = rest.substr(pos);
    if (text.size() >= 3 && static_cast<u8>(text[0]) == 0xEF && static_cast<u8>(text[1]) == 0xBB &&
        static_cast<u8>(text[2]) == 0xBF) {
        text.remove_prefix(3);
    }
    copyBounded(msg.message, msg.message_len, text);
    return true;
}

bool parseRfc3164(std::string_view rest, SyslogMessage& msg, i64 now) {
    if (rest.size() < 16) return false;
    u8 month = monthFromAbbr(rest.substr(0, 3));
    if (month == 0) return false;
    // "Mar  5" pads a one-digit day with a space; "Mar 05" and "Mar 15" do not.
    std::string_view day_text;
    if (rest[4] == ' ') {
        if (rest[5] == ' ') return false;
        day_text = rest.substr(5, 1);
    } else {
        day_text = rest.substr(4, 2);
    }
    u8 day = 0, hour = 0, minute = 0, second = 0;
    if (!readField(day_text, 31, day)) return false;
    if (rest[9] != ':' || rest[12] != ':') return false;
    if (!readField(rest.substr(7, 2), 31, hour) || !readField(rest.substr(10, 2), 63, minute) ||
        !readField(rest.substr(13, 2), 63, second)) {
        return false;
    }
    // BSD timestamps carry no year: the current UTC year is assumed.
    msg.timestamp = epochFromComponents(yearOfEpoch(now), month, day, hour, minute, second);

    size_t pos = rest[15] == ' ' ? 16 : 15;
    size_t sp = rest.find(' ', pos);
    if (sp == std::string_view::npos) {
        copyBounded(msg.message, msg.message_len, rest.substr(pos));
        return true;
    }
    copyBounded(msg.hostname, msg.hostname_len, rest.substr(pos, sp - pos));

    std::string_view tail = rest.substr(sp + 1);
    size_t colon = tail.find(':');
    if (colon == std::string_view::npos) {
        copyBounded(msg.message, msg.message_len, tail);
        return true;
    }
    size_t bracket = tail.find('[');
    if (bracket < colon) {
        copyBounded(msg.app_name, msg.app_name_len, tail.substr(0, bracket));
        size_t close = tail.find(']', bracket + 1);
        if (close != std::string_view::npos) {
            copyBounded(msg.proc_id, msg.proc_id_len,
                        tail.substr(bracket + 1, close - bracket - 1));
        }
    } else {
        copyBounded(msg.app_name, msg.app_name_len, tail.substr(0, colon));
    }
    size_t start = colon + 1;
    if (start < tail.size() && tail[start] == ' ') ++start;
    copyBounded(msg.message, msg.message_len, tail.substr(start));
    return true;
}

bool parseRfc3164(std::string_view rest, SyslogMessage& msg) {
    return parseRfc3164(rest, msg, wallSeconds());
}

namespace {

// The "<PRI>" prefix. Logs why and returns false when it is unusable;
// otherwise gives the pair and the position of the closing '>'.
bool parsePriority(std::string_view text, Priority& pri, size_t& close) {
    if (text.size() < 3) {
        static LogLimit limit;
        logWarnLimited(limit, "syslog", "input too short ({} bytes)", text.size());
        return false;
    }
    if (text[0] != '<') {
        static LogLimit limit;
        logWarnLimited(limit, "syslog", "missing PRI opening '<'");
        return false;
    }
    close = text.find('>', 1);
    if (close == std::string_view::npos) {
        static LogLimit limit;
        logWarnLimited(limit, "syslog", "missing PRI closing '>'");
        return false;
    }
    Result<u64> value = parseDecimalDigits(text.substr(1, close - 1), 255);
    if (!value.ok()) {
        static LogLimit limit;
        logWarnLimited(limit, "syslog", "invalid PRI value");
        return false;
    }
    if (value.value >= 192) {
        static LogLimit limit;
        logWarnLimited(limit, "syslog", "PRI value {} out of range (max 191)", value.value);
        return false;
    }
    pri.facility = static_cast<Facility>(value.value / 8);
    pri.severity = static_cast<Severity>(value.value % 8);
    return true;
}

// `now` null: the wall clock is read, and only for a BSD-framed line.
SyslogMessage parseLine(std::string_view text, const i64* now) {
    SyslogMessage msg{};
    Priority pri{};
    size_t close = 0;
    if (!parsePriority(text, pri, close)) return msg;
    msg.facility = pri.facility;
    msg.severity = pri.severity;

    std::string_view rest = text.substr(close + 1);
    if (rest.empty()) {
        static LogLimit limit;
        logWarnLimited(limit, "syslog", "nothing after PRI field");
        return msg;
    }
    bool framed = false;
    if (rest[0] >= '1' && rest[0] <= '9') framed = parseRfc5424(rest, msg);
    if (!framed) framed = now ? parseRfc3164(rest, msg, *now) : parseRfc3164(rest, msg);
    if (!framed) copyBounded(msg.message, msg.message_len, rest);
    msg.valid = true;
    return msg;
}

}  // namespace

SyslogMessage parse(std::string_view text, i64 now) {
    return parseLine(text, &now);
}

SyslogMessage parse(std::string_view text) {
    return parseLine(text, nullptr);
}

}  // namespace tarvex::ingest::syslog
