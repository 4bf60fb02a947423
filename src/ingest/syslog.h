// syslog.h: reads one syslog line (RFC 5424 or RFC 3164 framing) into a
// SyslogMessage.
//
// Pure functions: no allocation, no state kept between calls; any thread may
// call them at once. The only side effect is the warning line that `parse`
// logs when the PRI field is unusable (see parse below).
#pragma once

#include <string_view>

#include "common/text.h"
#include "common/types.h"

namespace tarvex {

namespace ingest::syslog {

// PRI / 8.
enum class Facility : u8 {
    kernel = 0,
    user = 1,
    mail = 2,
    daemon = 3,
    auth = 4,
    syslog = 5,
    lpr = 6,
    news = 7,
    uucp = 8,
    cron = 9,
    authpriv = 10,
    ftp = 11,
    ntp = 12,
    audit = 13,
    alert = 14,
    clock = 15,
    local0 = 16,
    local1 = 17,
    local2 = 18,
    local3 = 19,
    local4 = 20,
    local5 = 21,
    local6 = 22,
    local7 = 23,
};

// PRI mod 8.
enum class Severity : u8 {
    emergency = 0,
    alert = 1,
    critical = 2,
    err = 3,
    warning = 4,
    notice = 5,
    informational = 6,
    debug = 7,
};

// The (facility, severity) pair carried by the PRI field.
struct Priority {
    Facility facility;
    Severity severity;
};

}  // namespace ingest::syslog

// One received syslog line. All-zero is the empty record.
struct SyslogMessage {
    i64 timestamp;  // seconds since 1970 UTC; 0 when the line has no readable time
    u16 message_len;
    ingest::syslog::Facility facility;
    ingest::syslog::Severity severity;
    char hostname[64];
    u8 hostname_len;
    char app_name[48];
    u8 app_name_len;
    char proc_id[32];
    u8 proc_id_len;
    char message[1024];
    bool valid;  // something followed a well-formed PRI

    std::string_view getHostname() const { return view(hostname, hostname_len); }
    std::string_view getAppName() const { return view(app_name, app_name_len); }
    std::string_view getProcId() const { return view(proc_id, proc_id_len); }
    std::string_view getMessage() const { return view(message, message_len); }
};

namespace ingest::syslog {

// Reads a whole line "<PRI>..." into a record. Never fails: a line with a
// missing or bad PRI logs one "warning(syslog): ..." line and returns the
// record with `valid` false. A good PRI followed by text that fits neither
// framing is valid, with that text as its message. RFC 3164 lines carry no
// year; the current year of the wall clock is used.
SyslogMessage parse(std::string_view line);

// The same, with "now" (seconds since 1970) given for the RFC 3164 year.
SyslogMessage parse(std::string_view line, i64 now);

// Fills `msg` from the text after the PRI when it is RFC 5424 framed
// ("1 2024-03-05T10:20:30+01:00 host app procid msgid [sd] text"). Returns
// false when the framing does not match; fields read so far stay filled.
bool parseRfc5424(std::string_view rest, SyslogMessage& msg);

// Fills `msg` from the text after the PRI when it is RFC 3164 framed
// ("Mar  5 10:20:30 host app[pid]: text"), taking the year from `now`.
// Returns false when the framing does not match.
bool parseRfc3164(std::string_view rest, SyslogMessage& msg, i64 now);
bool parseRfc3164(std::string_view rest, SyslogMessage& msg);

// Seconds since 1970 for a UTC calendar time. No range check: day 0 or
// hour 25 are counted as they fall; years before 1970 give negative values.
i64 epochFromComponents(u16 year, u8 month, u8 day, u8 hour, u8 minute, u8 second);

// The UTC calendar year of `seconds` since 1970 (1970 for earlier times).
u16 yearOfEpochSeconds(i64 seconds);

}  // namespace ingest::syslog

}  // namespace tarvex
