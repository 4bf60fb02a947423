// manager.h: the case table, where analysts group their work on incidents.
//
// CaseManager holds up to 2048 cases, each with up to 64 notes and 32 linked
// alert ids. It lives only in memory: empty at start, only ever added to,
// lost at exit. Slots are taken first-free in slot order and never freed, so
// ids are never reused.
//
// Thread-safety: HTTP handler threads create cases and add notes
// concurrently. Every public operation of CaseManager takes `mu` for its
// whole duration, so writers are serialised and readers receive a copy that
// no writer is changing. The table is obtained zero-filled (mapZeroed) and
// made ready by initInPlace() before any thread sees it.
#pragma once

#include <mutex>
#include <optional>
#include <string_view>

#include "common/text.h"
#include "common/types.h"

namespace tarvex {

constexpr u32 kMaxCases = 2048;
constexpr u32 kMaxCaseNotes = 64;
constexpr u32 kMaxLinkedAlerts = 32;

enum class CaseStatus : u8 { open = 0, investigating = 1, escalated = 2, resolved = 3, closed = 4 };
enum class CaseSeverity : u8 { info = 0, low = 1, medium = 2, high = 3, critical = 4 };

// "open", "investigating", ...; "open" for values outside the enumeration.
std::string_view caseStatusName(CaseStatus s);
// "info", "low", ...; "info" for values outside the enumeration.
std::string_view caseSeverityName(CaseSeverity s);

// "critical", "high", "medium" or "low" (exact bytes) give that level;
// absent or any other text gives info.
CaseSeverity parseCaseSeverity(std::optional<std::string_view> text);

struct CaseNote {
    i64 created_at;
    u16 content_len;
    char content[1024];
    char author[64];
    u8 author_len;
    bool active;

    std::string_view getContent() const { return view(content, content_len); }
    std::string_view getAuthor() const { return view(author, author_len); }
};

struct Case {
    CaseNote notes[kMaxCaseNotes];  // entries 0 .. note_count-1 are used
    i64 created_at;
    i64 updated_at;   // creation time, then the time of the latest note
    i64 resolved_at;  // 0 while not resolved
    u32 id;
    u32 linked_alert_ids[kMaxLinkedAlerts];  // entries 0 .. linked_alert_count-1
    u16 description_len;
    char title[128];
    u8 title_len;
    char description[512];
    CaseStatus status;
    CaseSeverity severity;
    char assignee[64];
    u8 assignee_len;
    u8 linked_alert_count;
    u8 note_count;
    bool active;

    std::string_view getTitle() const { return view(title, title_len); }
    std::string_view getDescription() const { return view(description, description_len); }
    std::string_view getAssignee() const { return view(assignee, assignee_len); }

    // Appends a note (content cut to 1024 bytes, author to 64) stamped `now`
    // and moves updated_at to `now`. Returns false, logging the note-buffer
    // warning, when the case already holds 64 notes; nothing is written then.
    bool addNote(std::string_view content, std::string_view author, i64 now);
};

// What the case list shows of one case: everything but notes and links.
struct CaseSummary {
    i64 created_at;
    i64 updated_at;
    u32 id;
    CaseStatus status;
    CaseSeverity severity;
    u8 note_count;
    u8 linked_alert_count;
    u8 title_len;
    u8 assignee_len;
    u16 description_len;
    char title[128];
    char description[512];
    char assignee[64];

    std::string_view getTitle() const { return view(title, title_len); }
    std::string_view getDescription() const { return view(description, description_len); }
    std::string_view getAssignee() const { return view(assignee, assignee_len); }
};

// One page of the case list: `total` active cases, of which `count` were
// copied into the caller's array.
struct CasePage {
    u32 total;
    u32 count;
};

enum class NoteResult : u8 { added, case_not_found, note_buffer_full };

struct CaseManager {
    Case cases[kMaxCases];
    u32 case_count;  // cases created; never decremented
    u32 next_id;     // id of the next case; starts at 1
    std::mutex mu;   // guards everything above

    // Makes a zero-filled table ready: constructs the mutex, next_id = 1.
    void initInPlace();

    // Creates an open, unassigned case stamped now (title cut to 128 bytes,
    // description to 512) and logs it. Returns its id, or 0 when the table
    // is full (logging the table-full line when case_count is at capacity).
    u32 createCase(std::string_view title, std::string_view description, CaseSeverity severity);

    // Adds a note to the active case with that id; an absent author is
    // "anonymous".
    NoteResult addNote(u32 id, std::string_view content, std::optional<std::string_view> author);

    // Copies the active case with that id into `out`; false when none has it.
    // A Case is about 70 KiB: give it request memory rather than a stack slot.
    bool copyCase(u32 id, Case& out);

    // Copies the page [offset, offset+limit) of the active cases ordered
    // newest first (created_at descending, then id descending) into `out`
    // (at most `cap` entries).
    CasePage listCases(u32 offset, u32 limit, CaseSummary* out, u32 cap);

    // Number of active cases.
    u32 activeCount();

    // True when an active case has that id. Cases are never removed, so the
    // answer stays true once given.
    bool hasCase(u32 id);

    // The active case with that id, or nullptr. Unguarded: for the owner of
    // `mu` (and single-threaded set-up and tests).
    Case* getCase(u32 id);
};

// Reads a case id from a path parameter (unsigned 32-bit decimal); nothing
// when it is not one.
std::optional<u32> parseCaseId(std::string_view text);

// Author of a note whose request names none.
inline constexpr std::string_view kAnonymousAuthor = "anonymous";

}  // namespace tarvex
