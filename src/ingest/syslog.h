// syslog.h: the syslog line parser (RFC 5424 and RFC 3164 framing).
//
// parse() reads one received line into a fixed-size SyslogMessage: the
// <PRI> prefix, then either the RFC 5424 header (version, ISO timestamp,
// host, app, proc id, msg id, structured data) or the BSD header of RFC 3164
// ("Mar  5 10:20:30 host app[pid]: text"), or, when neither fits, the whole
// text after the PRI as the message.
//
// Thread-safety: pure functions without shared state; any thread may call
// them. The only side effect is the warning line of a rejected PRI, written
// through the locked process log. Nothing is allocated.
#pragma once

#include <string_view>

#include "common/types.h"

namespace tarvex {

// One received syslog line. All-zero is the empty record.
struct SyslogMessage {
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
    // The pair carried by the PRI field.
    struct Priority {
        Facility facility;
        Severity severity;
    };

    i64 timestamp;  // seconds since 1970 UTC; 0 when no readable timestamp
    u16 message_len;
    Facility facility;
    Severity severity;
    char hostname[64];
    u8 hostname_len;
    char app_name[48];
    u8 app_name_len;
    char proc_id[32];
    u8 proc_id_len;
    char message[1024];
    bool valid;  // something followed a well-formed PRI

    Priority priority() const { return {facility, severity}; }
    std::string_view getHostname() const { return {hostname, hostname_len}; }
    std::string_view getAppName() const { return {app_name, app_name_len}; }
    std::string_view getProcId() const { return {proc_id, proc_id_len}; }
    std::string_view getMessage() const { return {message, message_len}; }
};

namespace ingest::syslog {

using Facility = SyslogMessage::Facility;
using Severity = SyslogMessage::Severity;
using Priority = SyslogMessage::Priority;

// Reads a whole line "<PRI>...", dating RFC 3164 lines in the wall clock's
// UTC year. Never fails: a missing or bad PRI logs one "warning(syslog): ..."
// line and gives valid false; a good PRI followed by text that fits neither
// framing is valid, with that text as its message.
SyslogMessage parse(std::string_view text);

// The same with `now` (Unix seconds) standing in for the wall clock.
SyslogMessage parse(std::string_view text, i64 now);

// Fills `msg` from the text after the PRI in RFC 5424 framing. False when
// the framing does not match; fields already filled stay filled.
bool parseRfc5424(std::string_view rest, SyslogMessage& msg);

// Fills `msg` from the text after the PRI in RFC 3164 framing, dating the
// line in the UTC year of `now` (or of the wall clock). False when the
// framing does not match.
bool parseRfc3164(std::string_view rest, SyslogMessage& msg, i64 now);
bool parseRfc3164(std::string_view rest, SyslogMessage& msg);

// Seconds since 1970-01-01 UTC of the given calendar time (proleptic
// Gregorian; years before 1970 give negative values). Days, hours, minutes
// and seconds out of range are added as they fall; a month above 12 counts
// all twelve months of the year before it.
i64 epochFromComponents(u16 year, u8 month, u8 day, u8 hour, u8 minute, u8 second);

// The UTC calendar year of `seconds` (1970 for anything before 1970).
u16 yearOfEpoch(i64 seconds);

}  // namespace ingest::syslog
}  // namespace tarvex
