// Case table: ids, severities, notes, cut texts, full tables, newest-first
// paging, and concurrent writers.
#include "cases/manager.h"

#include <gtest/gtest.h>

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

TEST(CaseManager, LifeCycleOfACase) {
    MappedTable<CaseManager> cm;
    ASSERT_TRUE(cm.ok());
    LogCapture log;
    i64 before = wallSeconds();
    std::string title(200, 't'), desc(600, 'd'), content(1100, 'c'), author(100, 'a');
    ASSERT_EQ(cm->createCase(title, desc, CaseSeverity::high), 1u) << "ids start at 1";
    ASSERT_EQ(cm->createCase("second", "", CaseSeverity::info), 2u);
    EXPECT_TRUE(log.has("info(case_manager): case created: id=1 severity=\"high\""));

    Case* c = cm->getCase(1);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->getTitle(), title.substr(0, 128)) << "title cut to 128 bytes";
    EXPECT_EQ(c->getDescription(), desc.substr(0, 512)) << "description cut to 512 bytes";
    EXPECT_EQ(c->status, CaseStatus::open);
    EXPECT_GE(c->created_at, before);
    EXPECT_EQ(c->updated_at, c->created_at);

    c->updated_at = 1000;
    EXPECT_EQ(cm->addNote(1, content, std::string_view(author)), NoteResult::added);
    EXPECT_EQ(cm->addNote(1, "second", std::nullopt), NoteResult::added);
    EXPECT_EQ(cm->addNote(1, "third", std::string_view("")), NoteResult::added);
    ASSERT_EQ(c->note_count, 3u);
    EXPECT_EQ(c->notes[0].getContent(), content.substr(0, 1024)) << "content cut to 1024";
    EXPECT_EQ(c->notes[0].getAuthor(), author.substr(0, 64)) << "author cut to 64";
    EXPECT_EQ(c->notes[1].getAuthor(), "anonymous") << "absent author";
    EXPECT_EQ(c->notes[2].getAuthor(), "") << "an empty author is kept as sent";
    EXPECT_GT(c->updated_at, 1000) << "a note moves updated_at to now";

    EXPECT_EQ(cm->addNote(0, "x", std::nullopt), NoteResult::case_not_found);
    EXPECT_EQ(cm->addNote(3, "x", std::nullopt), NoteResult::case_not_found);
    auto copy = std::make_unique<Case>();
    EXPECT_FALSE(cm->copyCase(0, *copy)) << "id 0 names no case";
    ASSERT_TRUE(cm->copyCase(1, *copy));
    EXPECT_EQ(copy->notes[1].getContent(), "second");
}

TEST(CaseManager, SeverityTextRules) {
    struct Row {
        std::optional<std::string_view> text;
        CaseSeverity want;
    };
    const Row rows[] = {
        {"critical", CaseSeverity::critical}, {"high", CaseSeverity::high},
        {"medium", CaseSeverity::medium},     {"low", CaseSeverity::low},
        {"High", CaseSeverity::info},  // letter case matters
        {"urgent", CaseSeverity::info},       {"", CaseSeverity::info},
        {std::nullopt, CaseSeverity::info},
    };
    for (const auto& r : rows) EXPECT_EQ(parseCaseSeverity(r.text), r.want) << r.text.value_or("-");
}

TEST(CaseManager, FullTablesRefuseWithoutWriting) {
    MappedTable<CaseManager> cm;
    ASSERT_TRUE(cm.ok());
    LogCapture log;
    for (u32 i = 1; i <= kMaxCases; ++i) ASSERT_EQ(cm->createCase("c", "", CaseSeverity::info), i);
    EXPECT_EQ(cm->createCase("one too many", "", CaseSeverity::info), 0u);
    EXPECT_TRUE(log.has("error(case_manager): case table full (2048 cases), cannot create case"));
    EXPECT_EQ(cm->next_id, kMaxCases + 1) << "a refused case consumes no id";
    EXPECT_EQ(cm->activeCount(), kMaxCases);

    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(cm->addNote(7, std::to_string(i), std::nullopt), NoteResult::added);
    EXPECT_EQ(cm->addNote(7, "overflow", std::nullopt), NoteResult::note_buffer_full);
    EXPECT_TRUE(log.has("warning(case_manager): case 7: note buffer full (64 notes)"));
    EXPECT_EQ(cm->getCase(7)->note_count, 64u);
    EXPECT_EQ(cm->getCase(7)->notes[63].getContent(), "63");
}

TEST(CaseManager, ListIsNewestFirstAndPaged) {
    MappedTable<CaseManager> cm;
    ASSERT_TRUE(cm.ok());
    LogCapture log;
    const i64 times[] = {500, 100, 300, 300, 200};  // ties fall back to the higher id first
    for (i64 t : times) cm->getCase(cm->createCase("c", "", CaseSeverity::info))->created_at = t;
    struct Row {
        u32 offset, limit, cap;
        std::vector<u32> want;
        const char* rule;
    };
    const Row rows[] = {
        {0, 50, 10, {1, 4, 3, 5, 2}, "created_at descending, then id descending"},
        {1, 2, 10, {4, 3}, "page inside the list"},
        {4, 50, 10, {2}, "page cut at the end"},
        {5, 50, 10, {}, "offset at the end"},
        {0xFFFFFFFFu, 500, 10, {}, "offset+limit cannot wrap"},
        {0, 50, 2, {1, 4}, "never more than the caller's room"},
    };
    for (const auto& r : rows) {
        std::vector<CaseSummary> out(r.cap);
        CasePage p = cm->listCases(r.offset, r.limit, out.data(), r.cap);
        EXPECT_EQ(p.total, 5u) << r.rule;
        std::vector<u32> ids;
        for (u32 i = 0; i < p.count; ++i) ids.push_back(out[i].id);
        EXPECT_EQ(ids, r.want) << r.rule;
    }
}

TEST(CaseConcurrency, ParallelWritersLoseNothing) {
    MappedTable<CaseManager> cm;
    ASSERT_TRUE(cm.ok());
    LogCapture log;
    constexpr int kThreads = 8, kPerThread = 100;
    std::vector<std::vector<u32>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            CaseSummary page[4];
            for (int i = 0; i < kPerThread; ++i) {
                got[t].push_back(cm->createCase("t", "", CaseSeverity::low));
                cm->addNote(1, std::to_string(t * 1000 + i), std::nullopt);
                cm->listCases(0, 4, page, 4);  // readers interleave with writers
            }
        });
    }
    for (auto& th : threads) th.join();
    std::set<u32> ids;
    for (const auto& v : got) ids.insert(v.begin(), v.end());
    EXPECT_EQ(ids.size(), size_t{kThreads * kPerThread}) << "ids are distinct";
    EXPECT_EQ(*ids.begin(), 1u) << "and none is 0";
    EXPECT_EQ(*ids.rbegin(), u32{kThreads * kPerThread});
    EXPECT_EQ(cm->activeCount(), u32{kThreads * kPerThread}) << "no case lost";
    const Case* first = cm->getCase(1);
    std::set<std::string_view> notes;
    for (u32 i = 0; i < first->note_count; ++i) notes.insert(first->notes[i].getContent());
    EXPECT_EQ(notes.size(), size_t{kMaxCaseNotes}) << "64 notes kept, none overwritten";
}

}  // namespace
}  // namespace tarvex
