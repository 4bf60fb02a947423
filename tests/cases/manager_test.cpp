// Case table: ids, severities, notes, cut texts, full tables, newest-first
// paging, and concurrent writers.
#include "cases/manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "support/log_capture.h"
#include "support/mapped_table.h"

namespace tarvex {
namespace {

using test::LogCapture;
using test::MappedTable;

// "prefix" followed by the number.
std::string label(const char* prefix, int n) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%d", prefix, n);
    return buf;
}

TEST(CaseManager, CreatesOpenCasesWithIdsFromOne) {
    MappedTable<CaseManager> cm;
    ASSERT_TRUE(cm.ok());
    LogCapture log;
    i64 before = wallSeconds();
    EXPECT_EQ(cm->createCase("first", "", CaseSeverity::info), 1u);
    EXPECT_EQ(cm->createCase("second", "why", CaseSeverity::high), 2u);
    i64 after = wallSeconds();

    EXPECT_TRUE(log.has("info(case_manager): case created: id=1 severity=\"info\""));
    EXPECT_TRUE(log.has("info(case_manager): case created: id=2 severity=\"high\""));
    EXPECT_EQ(cm->case_count, 2u);
    EXPECT_EQ(cm->next_id, 3u);

    const Case* c = cm->getCase(2);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->getTitle(), "second");
    EXPECT_EQ(c->getDescription(), "why");
    EXPECT_EQ(c->status, CaseStatus::open);
    EXPECT_EQ(c->severity, CaseSeverity::high);
    EXPECT_EQ(c->getAssignee(), "");
    EXPECT_EQ(c->note_count, 0u);
    EXPECT_EQ(c->linked_alert_count, 0u);
    EXPECT_EQ(c->resolved_at, 0);
    EXPECT_GE(c->created_at, before);
    EXPECT_LE(c->created_at, after);
    EXPECT_EQ(c->updated_at, c->created_at);

    EXPECT_EQ(cm->getCase(0), nullptr) << "id 0 names no case";
    EXPECT_EQ(cm->getCase(3), nullptr);
}

TEST(CaseManager, SeverityTextRules) {
    struct Row {
        std::optional<std::string_view> text;
        CaseSeverity want;
        const char* rule;
    };
    const Row rows[] = {
        {"critical", CaseSeverity::critical, "exact critical"},
        {"high", CaseSeverity::high, "exact high"},
        {"medium", CaseSeverity::medium, "exact medium"},
        {"low", CaseSeverity::low, "exact low"},
        {"High", CaseSeverity::info, "letter case matters"},
        {"info", CaseSeverity::info, "info is the fallback anyway"},
        {"urgent", CaseSeverity::info, "unknown word"},
        {"", CaseSeverity::info, "empty value"},
        {std::nullopt, CaseSeverity::info, "absent"},
    };
    for (const auto& r : rows) EXPECT_EQ(parseCaseSeverity(r.text), r.want) << r.rule;
}

TEST(CaseManager, TextsAreCutToTheirFields) {
    MappedTable<CaseManager> cm;
    ASSERT_TRUE(cm.ok());
    LogCapture log;
    std::string title(200, 't'), desc(600, 'd'), content(1100, 'c'), author(100, 'a');
    u32 id = cm->createCase(title, desc, CaseSeverity::low);
    ASSERT_EQ(cm->addNote(id, content, std::string_view(author)), NoteResult::added);
    const Case* c = cm->getCase(id);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->title_len, 128u);
    EXPECT_EQ(c->getTitle(), title.substr(0, 128));
    EXPECT_EQ(c->getDescription(), desc.substr(0, 512));
    EXPECT_EQ(c->notes[0].getContent(), content.substr(0, 1024));
    EXPECT_EQ(c->notes[0].getAuthor(), author.substr(0, 64));
}

TEST(CaseManager, NotesAppendInOrderAndDefaultToAnonymous) {
    MappedTable<CaseManager> cm;
    ASSERT_TRUE(cm.ok());
    LogCapture log;
    u32 id = cm->createCase("x", "", CaseSeverity::info);
    // Age the case so the note's update of updated_at is visible.
    cm->getCase(id)->updated_at = 1000;
    EXPECT_EQ(cm->addNote(id, "looked at it", std::nullopt), NoteResult::added);
    EXPECT_EQ(cm->addNote(id, "escalating", std::string_view("ana")), NoteResult::added);
    EXPECT_EQ(cm->addNote(id, "blank author", std::string_view("")), NoteResult::added);

    const Case* c = cm->getCase(id);
    ASSERT_EQ(c->note_count, 3u);
    EXPECT_EQ(c->notes[0].getAuthor(), "anonymous") << "absent author";
    EXPECT_EQ(c->notes[0].getContent(), "looked at it");
    EXPECT_EQ(c->notes[1].getAuthor(), "ana");
    EXPECT_EQ(c->notes[2].getAuthor(), "") << "an empty author is kept as sent";
    EXPECT_TRUE(c->notes[2].active);
    EXPECT_GT(c->updated_at, 1000) << "a note moves updated_at to now";
    EXPECT_EQ(c->notes[2].created_at, c->updated_at);

    EXPECT_EQ(cm->addNote(0, "x", std::nullopt), NoteResult::case_not_found);
    EXPECT_EQ(cm->addNote(42, "x", std::nullopt), NoteResult::case_not_found);
}

TEST(CaseManager, SixtyFifthNoteIsRefusedWhole) {
    MappedTable<CaseManager> cm;
    ASSERT_TRUE(cm.ok());
    LogCapture log;
    u32 id = cm->createCase("x", "", CaseSeverity::info);
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(cm->addNote(id, label("n", i), std::nullopt), NoteResult::added);
    EXPECT_EQ(cm->addNote(id, "overflow", std::nullopt), NoteResult::note_buffer_full);
    EXPECT_TRUE(log.has("warning(case_manager): case 1: note buffer full (64 notes)"));
    const Case* c = cm->getCase(id);
    EXPECT_EQ(c->note_count, 64u);
    EXPECT_EQ(c->notes[63].getContent(), "n63");
}

TEST(CaseManager, CaseAfterTheLastSlotIsRefused) {
    MappedTable<CaseManager> cm;
    ASSERT_TRUE(cm.ok());
    LogCapture log;
    for (u32 i = 1; i <= kMaxCases; ++i) ASSERT_EQ(cm->createCase("c", "", CaseSeverity::info), i);
    EXPECT_EQ(cm->createCase("one too many", "", CaseSeverity::info), 0u);
    EXPECT_TRUE(log.has("error(case_manager): case table full (2048 cases), cannot create case"));
    EXPECT_EQ(cm->case_count, kMaxCases);
    EXPECT_EQ(cm->next_id, kMaxCases + 1) << "a refused case consumes no id";
    EXPECT_EQ(cm->activeCount(), kMaxCases);
}

TEST(CaseManager, CopyCaseGivesTheWholeRecord) {
    MappedTable<CaseManager> cm;
    ASSERT_TRUE(cm.ok());
    LogCapture log;
    u32 id = cm->createCase("copied", "d", CaseSeverity::medium);
    cm->addNote(id, "note", std::nullopt);
    auto out = std::make_unique<Case>();
    ASSERT_TRUE(cm->copyCase(id, *out));
    EXPECT_EQ(out->getTitle(), "copied");
    EXPECT_EQ(out->note_count, 1u);
    EXPECT_EQ(out->notes[0].getAuthor(), "anonymous");
    EXPECT_FALSE(cm->copyCase(0, *out));
    EXPECT_FALSE(cm->copyCase(id + 1, *out));
}

std::vector<u32> pageIds(CaseManager& cm, u32 offset, u32 limit, u32* total = nullptr) {
    std::vector<CaseSummary> out(500);
    CasePage p = cm.listCases(offset, limit, out.data(), static_cast<u32>(out.size()));
    if (total) *total = p.total;
    std::vector<u32> ids;
    for (u32 i = 0; i < p.count; ++i) ids.push_back(out[i].id);
    return ids;
}

TEST(CaseManager, ListIsNewestFirstAndPaged) {
    MappedTable<CaseManager> cm;
    ASSERT_TRUE(cm.ok());
    LogCapture log;
    for (int i = 0; i < 5; ++i) cm->createCase("c", "", CaseSeverity::info);
    // created_at decides first; equal times fall back to the higher id first.
    cm->getCase(1)->created_at = 500;
    cm->getCase(2)->created_at = 100;
    cm->getCase(3)->created_at = 300;
    cm->getCase(4)->created_at = 300;
    cm->getCase(5)->created_at = 200;

    u32 total = 0;
    EXPECT_EQ(pageIds(*cm, 0, 50, &total), (std::vector<u32>{1, 4, 3, 5, 2}));
    EXPECT_EQ(total, 5u);
    EXPECT_EQ(pageIds(*cm, 1, 2), (std::vector<u32>{4, 3})) << "page inside the list";
    EXPECT_EQ(pageIds(*cm, 4, 50), (std::vector<u32>{2})) << "page cut at the end";
    EXPECT_EQ(pageIds(*cm, 5, 50, &total), std::vector<u32>{}) << "offset at the end";
    EXPECT_EQ(total, 5u) << "total counts every case whatever the page";
    EXPECT_EQ(pageIds(*cm, 0xFFFFFFFFu, 500), std::vector<u32>{}) << "offset+limit cannot wrap";
    EXPECT_EQ(pageIds(*cm, 0, 0), std::vector<u32>{}) << "limit 0";

    std::vector<CaseSummary> two(2);
    CasePage p = cm->listCases(0, 50, two.data(), 2);
    EXPECT_EQ(p.count, 2u) << "never more than the caller's room";
    EXPECT_EQ(two[1].id, 4u);

    cm->addNote(3, "n", std::string_view("me"));
    std::vector<CaseSummary> all(5);
    cm->listCases(0, 5, all.data(), 5);
    EXPECT_EQ(all[2].id, 3u);
    EXPECT_EQ(all[2].note_count, 1u);
    EXPECT_EQ(all[2].getTitle(), "c");
    EXPECT_EQ(all[2].status, CaseStatus::open);
}

TEST(CaseManager, EnumerationNames) {
    EXPECT_EQ(caseStatusName(CaseStatus::open), "open");
    EXPECT_EQ(caseStatusName(CaseStatus::escalated), "escalated");
    EXPECT_EQ(caseStatusName(CaseStatus::closed), "closed");
    EXPECT_EQ(caseSeverityName(CaseSeverity::critical), "critical");
    EXPECT_EQ(caseSeverityName(static_cast<CaseSeverity>(9)), "info") << "out of range";
}

TEST(CaseConcurrency, ParallelCreatesGetDistinctIdsAndNoCaseIsLost) {
    MappedTable<CaseManager> cm;
    ASSERT_TRUE(cm.ok());
    LogCapture log;
    constexpr int kThreads = 8;
    constexpr int kPerThread = 100;
    std::vector<std::vector<u32>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<CaseSummary> page(10);
            for (int i = 0; i < kPerThread; ++i) {
                got[t].push_back(cm->createCase(label("t", t), "", CaseSeverity::low));
                // Readers interleave with the writers.
                cm->listCases(0, 10, page.data(), 10);
            }
        });
    }
    for (auto& th : threads) th.join();

    std::set<u32> ids;
    for (const auto& v : got)
        for (u32 id : v) {
            EXPECT_NE(id, 0u);
            ids.insert(id);
        }
    EXPECT_EQ(ids.size(), static_cast<size_t>(kThreads * kPerThread)) << "ids are distinct";
    EXPECT_EQ(*ids.begin(), 1u);
    EXPECT_EQ(*ids.rbegin(), static_cast<u32>(kThreads * kPerThread));
    EXPECT_EQ(cm->case_count, static_cast<u32>(kThreads * kPerThread));
    EXPECT_EQ(cm->activeCount(), static_cast<u32>(kThreads * kPerThread)) << "no case lost";
    for (u32 id : ids) EXPECT_NE(cm->getCase(id), nullptr);
}

TEST(CaseConcurrency, ParallelNotesOnOneCaseFillItExactly) {
    MappedTable<CaseManager> cm;
    ASSERT_TRUE(cm.ok());
    LogCapture log;
    u32 id = cm->createCase("shared", "", CaseSeverity::info);
    constexpr int kThreads = 8;
    constexpr int kPerThread = 10;  // 80 attempts on 64 entries
    std::atomic<int> added{0}, refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            auto copy = std::make_unique<Case>();
            for (int i = 0; i < kPerThread; ++i) {
                std::string text = label(label("", t).append(":").c_str(), i);
                NoteResult r = cm->addNote(id, text, std::nullopt);
                (r == NoteResult::added ? added : refused)++;
                cm->copyCase(id, *copy);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(added.load(), 64);
    EXPECT_EQ(refused.load(), kThreads * kPerThread - 64);
    const Case* c = cm->getCase(id);
    EXPECT_EQ(c->note_count, 64u);
    std::set<std::string> texts;
    for (u32 i = 0; i < c->note_count; ++i) texts.insert(std::string(c->notes[i].getContent()));
    EXPECT_EQ(texts.size(), 64u) << "no note overwrote another";
}

}  // namespace
}  // namespace tarvex

namespace tarvex {
namespace {

TEST(CaseBodies, ListAndDetailShapes) {
    MappedTable<CaseManager> cm;
    ASSERT_TRUE(cm.ok());
    test::LogCapture log;
    u32 a = cm->createCase("Odd \"title\"", "line\nbreak", CaseSeverity::critical);
    u32 b = cm->createCase("second", "", CaseSeverity::info);
    cm->getCase(a)->created_at = cm->getCase(a)->updated_at = 100;
    cm->getCase(b)->created_at = cm->getCase(b)->updated_at = 200;
    cm->getCase(a)->linked_alert_ids[0] = 9;
    cm->getCase(a)->linked_alert_ids[1] = 12;
    cm->getCase(a)->linked_alert_count = 2;

    std::vector<CaseSummary> items(5);
    CasePage page = cm->listCases(1, 1, items.data(), 5);
    FixedText<4096> list;
    writeCaseListBody(list, items.data(), page, 1, 1);
    EXPECT_EQ(list.view(),
              "{\"cases\":[{\"id\":1,\"title\":\"Odd \\\"title\\\"\",\"description\":"
              "\"line\\nbreak\",\"severity\":\"critical\",\"status\":\"open\",\"assignee\":\"\","
              "\"note_count\":0,\"linked_alert_count\":2,\"created_at\":100,\"updated_at\":100}],"
              "\"total\":2,\"limit\":1,\"offset\":1}");

    FixedText<256> empty;
    writeCaseListBody(empty, items.data(), cm->listCases(9, 50, items.data(), 5), 50, 9);
    EXPECT_EQ(empty.view(), "{\"cases\":[],\"total\":2,\"limit\":50,\"offset\":9}");

    cm->addNote(a, "first look", std::nullopt);
    Case& c = *cm->getCase(a);
    c.notes[0].created_at = 150;
    c.updated_at = 150;
    FixedText<4096> detail;
    writeCaseBody(detail, c);
    EXPECT_EQ(detail.view(),
              "{\"id\":1,\"title\":\"Odd \\\"title\\\"\",\"description\":\"line\\nbreak\","
              "\"severity\":\"critical\",\"status\":\"open\",\"assignee\":\"\",\"created_at\":100,"
              "\"updated_at\":150,\"resolved_at\":0,\"notes\":[{\"content\":\"first look\","
              "\"author\":\"anonymous\",\"created_at\":150}],\"linked_alert_ids\":[9,12]}");
}

TEST(CaseBodies, WorstCaseBodiesFitTheirBounds) {
    auto c = std::make_unique<Case>();
    std::memset(static_cast<void*>(c.get()), 0, sizeof *c);
    std::string bad(2048, '\xFF');  // every byte becomes a three-byte replacement
    c->id = 0xFFFFFFFFu;
    c->created_at = c->updated_at = c->resolved_at = std::numeric_limits<i64>::min();
    c->status = CaseStatus::investigating;
    c->severity = CaseSeverity::critical;
    copyBounded(c->title, c->title_len, bad);
    copyBounded(c->description, c->description_len, bad);
    copyBounded(c->assignee, c->assignee_len, bad);
    for (auto& n : c->notes) {
        n.active = true;
        n.created_at = std::numeric_limits<i64>::min();
        copyBounded(n.content, n.content_len, bad);
        copyBounded(n.author, n.author_len, bad);
    }
    c->note_count = kMaxCaseNotes;
    for (auto& id : c->linked_alert_ids) id = 0xFFFFFFFFu;
    c->linked_alert_count = kMaxLinkedAlerts;

    std::vector<char> room(kMaxCaseBodyBytes);
    TextBuf detail(room.data(), room.size());
    writeCaseBody(detail, *c);
    EXPECT_FALSE(detail.truncated);

    std::vector<CaseSummary> items(500);
    for (auto& s : items) {
        std::memset(&s, 0, sizeof s);
        s.id = 0xFFFFFFFFu;
        s.created_at = s.updated_at = std::numeric_limits<i64>::min();
        s.status = CaseStatus::investigating;
        s.severity = CaseSeverity::critical;
        s.note_count = 255;
        s.linked_alert_count = 255;
        copyBounded(s.title, s.title_len, bad);
        copyBounded(s.description, s.description_len, bad);
        copyBounded(s.assignee, s.assignee_len, bad);
    }
    std::vector<char> list_room(kMaxCaseListBodyBytes);
    TextBuf list(list_room.data(), list_room.size());
    writeCaseListBody(list, items.data(), {0xFFFFFFFFu, 500}, 0xFFFFFFFFu, 0xFFFFFFFFu);
    EXPECT_FALSE(list.truncated);
}

TEST(CaseBodies, PathIdRules) {
    struct Row {
        std::string_view text;
        std::optional<u32> want;
        const char* rule;
    };
    const Row rows[] = {
        {"1", 1u, "plain"},
        {"4294967295", 4294967295u, "largest"},
        {"4294967296", std::nullopt, "beyond 32 bits"},
        {"0", 0u, "zero parses; no case has it"},
        {"abc", std::nullopt, "letters"},
        {"", std::nullopt, "empty"},
        {"-1", std::nullopt, "negative"},
    };
    for (const auto& r : rows) EXPECT_EQ(parseCaseId(r.text), r.want) << r.rule;
}

}  // namespace
}  // namespace tarvex
