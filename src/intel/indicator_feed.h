// indicator_feed.h: reading threat lists into indicator records.
//
// Three formats are read, told apart by their first lines:
//  - Zeek intel files: a "#fields" line names the tab-separated columns
//    (indicator, indicator_type, meta.source, ...); types Intel::ADDR,
//    Intel::SUBNET, Intel::DOMAIN, Intel::URL, Intel::FILE_HASH and
//    Intel::EMAIL are taken, "-" is an empty field.
//  - CSV with a header line that names a "value" column; the columns type,
//    severity, source and expiry are used when present (others ignored).
//  - Plain lists: one value a line, its type inferred; "#" and ";" start a
//    comment (at the start of a line or after white space), and a hosts-file
//    line ("0.0.0.0 name") gives its name.
// Every value is checked against its type and written in its normal form
// (indicator_value.h). Lines that give no indicator are reported with the
// reason. Pure: the caller decides what to do with the records.
#pragma once

#include <string_view>

#include "common/types.h"
#include "intel/indicator.h"

namespace tarvex {

enum class FeedFormat : u8 { plain, csv, zeek };

// What a line that does not say gets.
struct FeedDefaults {
    std::string_view source = "import";
    IndicatorSeverity severity = IndicatorSeverity::medium;
};

// One line that gave no indicator.
struct RejectedLine {
    u32 line;                 // 1-based
    std::string_view text;    // the line, into the parsed text
    std::string_view reason;  // a fixed text
};

struct FeedResult {
    static constexpr u32 kKeptRejections = 10;

    FeedFormat format;
    u32 count;     // records written to the caller's array
    u32 rejected;  // lines that gave none (also those past the array's end)
    u32 kept;      // entries used in first_rejected
    RejectedLine first_rejected[kKeptRejections];  // the first rejected lines
};

// The format of a text, by its first non-empty lines.
FeedFormat detectFeedFormat(std::string_view text);

// Reads every line of `text` (any of the three formats) into `out`, in line
// order (created_at 0, origin 0); a usable line beyond `cap` records is
// rejected ("more indicators than the store holds").
FeedResult parseIndicatorFeed(std::string_view text, const FeedDefaults& defaults, Indicator* out,
                              u32 cap);

// An expiry text: empty or "0" for none, Unix seconds, or a UTC date
// "YYYY-MM-DD" with an optional "THH:MM:SS" and "Z". False when unreadable.
bool parseExpiry(std::string_view text, i64& out);

}  // namespace tarvex
