// manager.cpp: case creation, notes, reads and the newest-first list.
#include "cases/manager.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/clock.h"
#include "common/log.h"
#include "common/number.h"

namespace tarvex {

namespace {

constexpr std::string_view kStatusNames[] = {"open", "investigating", "escalated", "resolved",
                                             "closed"};
constexpr std::string_view kSeverityNames[] = {"info", "low", "medium", "high", "critical"};

}  // namespace

std::string_view caseStatusName(CaseStatus s) {
    auto i = static_cast<size_t>(s);
    return i < std::size(kStatusNames) ? kStatusNames[i] : kStatusNames[0];
}

std::string_view caseSeverityName(CaseSeverity s) {
    auto i = static_cast<size_t>(s);
    return i < std::size(kSeverityNames) ? kSeverityNames[i] : kSeverityNames[0];
}

CaseSeverity parseCaseSeverity(std::optional<std::string_view> text) {
    if (!text) return CaseSeverity::info;
    if (*text == "critical") return CaseSeverity::critical;
    if (*text == "high") return CaseSeverity::high;
    if (*text == "medium") return CaseSeverity::medium;
    if (*text == "low") return CaseSeverity::low;
    return CaseSeverity::info;
}

bool Case::addNote(std::string_view content_text, std::string_view author_text, i64 now) {
    if (note_count >= kMaxCaseNotes) {
        static LogLimit limit;
        logWarnLimited(limit, "case_manager", "case {}: note buffer full ({} notes)", id,
                       kMaxCaseNotes);
        return false;
    }
    CaseNote& n = notes[note_count];
    std::memset(&n, 0, sizeof n);
    n.created_at = now;
    copyBounded(n.content, n.content_len, content_text);
    copyBounded(n.author, n.author_len, author_text);
    n.active = true;
    ++note_count;
    updated_at = now;
    return true;
}

void CaseManager::initInPlace() {
    new (&mu) std::mutex;
    next_id = 1;
}

Case* CaseManager::getCase(u32 id) {
    if (id == 0) return nullptr;
    for (auto& c : cases)
        if (c.active && c.id == id) return &c;
    return nullptr;
}

u32 CaseManager::createCase(std::string_view title_text, std::string_view description_text,
                            CaseSeverity sev) {
    std::lock_guard<std::mutex> lock(mu);
    if (case_count >= kMaxCases) {
        static LogLimit limit;
        logLimited(limit, LogLevel::error, "case_manager",
                   "case table full ({} cases), cannot create case", kMaxCases);
        return 0;
    }
    // Slots are taken in order and never freed, so the first free slot is at
    // the count; the scan only guards that invariant.
    Case* slot = nullptr;
    for (u32 i = case_count; i < kMaxCases; ++i) {
        if (!cases[i].active) {
            slot = &cases[i];
            break;
        }
    }
    if (!slot) return 0;
    std::memset(static_cast<void*>(slot), 0, sizeof *slot);
    i64 now = wallSeconds();
    slot->id = next_id;
    slot->severity = sev;
    slot->status = CaseStatus::open;
    slot->created_at = now;
    slot->updated_at = now;
    copyBounded(slot->title, slot->title_len, title_text);
    copyBounded(slot->description, slot->description_len, description_text);
    slot->active = true;
    ++case_count;
    ++next_id;
    logInfo("case_manager", "case created: id={} severity=\"{}\"", slot->id, caseSeverityName(sev));
    return slot->id;
}

NoteResult CaseManager::addNote(u32 id, std::string_view content,
                                std::optional<std::string_view> author) {
    std::lock_guard<std::mutex> lock(mu);
    Case* c = getCase(id);
    if (!c) return NoteResult::case_not_found;
    if (!c->addNote(content, author.value_or(kAnonymousAuthor), wallSeconds()))
        return NoteResult::note_buffer_full;
    return NoteResult::added;
}

bool CaseManager::copyCase(u32 id, Case& out) {
    std::lock_guard<std::mutex> lock(mu);
    const Case* c = getCase(id);
    if (!c) return false;
    std::memcpy(static_cast<void*>(&out), c, sizeof out);
    return true;
}

bool CaseManager::hasCase(u32 id) {
    std::lock_guard<std::mutex> lock(mu);
    return getCase(id) != nullptr;
}

u32 CaseManager::activeCount() {
    std::lock_guard<std::mutex> lock(mu);
    u32 n = 0;
    for (const auto& c : cases) n += c.active ? 1 : 0;
    return n;
}

CasePage CaseManager::listCases(u32 offset, u32 limit, CaseSummary* out, u32 cap) {
    std::lock_guard<std::mutex> lock(mu);
    u16 order[kMaxCases];
    u32 total = 0;
    for (u32 i = 0; i < kMaxCases; ++i)
        if (cases[i].active) order[total++] = static_cast<u16>(i);
    // Ids are unique, so this order is total and the sort deterministic.
    std::sort(order, order + total, [this](u16 a, u16 b) {
        const Case& x = cases[a];
        const Case& y = cases[b];
        if (x.created_at != y.created_at) return x.created_at > y.created_at;
        return x.id > y.id;
    });
    u64 begin = std::min<u64>(offset, total);
    u64 end = std::min<u64>(static_cast<u64>(offset) + limit, total);
    end = std::min<u64>(end, begin + cap);
    u32 count = 0;
    for (u64 k = begin; k < end; ++k) {
        const Case& c = cases[order[k]];
        CaseSummary& s = out[count++];
        std::memset(&s, 0, sizeof s);
        s.created_at = c.created_at;
        s.updated_at = c.updated_at;
        s.id = c.id;
        s.status = c.status;
        s.severity = c.severity;
        s.note_count = c.note_count;
        s.linked_alert_count = c.linked_alert_count;
        copyBounded(s.title, s.title_len, c.getTitle());
        copyBounded(s.description, s.description_len, c.getDescription());
        copyBounded(s.assignee, s.assignee_len, c.getAssignee());
    }
    return {total, count};
}

std::optional<u32> parseCaseId(std::string_view text) {
    Result<u64> r = parseUnsignedDecimal(text, 0xFFFFFFFFu);
    if (!r) return std::nullopt;
    return static_cast<u32>(r.value);
}

}  // namespace tarvex
