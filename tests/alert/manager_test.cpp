// manager_test.cpp: the alert store.
#include "alert/manager.h"

#include <gtest/gtest.h>

#include <string>

#include "common/clock.h"
#include "engine/table_ptr.h"
#include "support/log_capture.h"

namespace tarvex {
namespace {

using test::LogCapture;
using test::makeTable;

constexpr u8 kMac[6] = {0x3C, 0x22, 0xFB, 0x0A, 0x1B, 0x2C};

test::TablePtr<AlertManager> makeStore() {
    auto m = makeTable<AlertManager>();
    m->init();
    return m;
}

TEST(AlertManager, CreatesAlertsWithIdsFromOne) {
    auto m = makeStore();
    LogCapture logs;
    const i64 before = wallSeconds();
    const u32 first =
        m->createAlert("Port scan", "Many ports probed", AlertSeverity::high, 0.75f, kMac, 3);
    const u32 second = m->createAlert("Other", "", AlertSeverity::info, 0.0f, kMac, 0);
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(second, 2u);
    EXPECT_EQ(m->alert_count, 2u);
    EXPECT_EQ(m->next_id, 3u);
    EXPECT_TRUE(
        logs.has("info(alert_manager): alert created: id=1 severity=high title=\"Port scan\""));
    EXPECT_TRUE(logs.has("info(alert_manager): alert created: id=2 severity=info title=\"Other\""));

    const Alert* a = m->getAlert(1);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->id, 1u);
    EXPECT_EQ(a->getTitle(), "Port scan");
    EXPECT_EQ(a->getDescription(), "Many ports probed");
    EXPECT_EQ(a->severity, AlertSeverity::high);
    EXPECT_EQ(a->status, AlertStatus::new_);
    EXPECT_EQ(statusName(a->status), "new");
    EXPECT_EQ(a->surprise_score, 0.75f);
    EXPECT_EQ(a->collision_wave_count, 3u);
    EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(a->source_mac), 6),
              std::string_view(reinterpret_cast<const char*>(kMac), 6));
    EXPECT_GE(a->created_at, before);
    EXPECT_EQ(a->created_at, a->updated_at);
    EXPECT_EQ(a->getEvidence(), "");
    EXPECT_EQ(a->getSourceIp(), "");
    EXPECT_EQ(a->related_count, 0);
    EXPECT_EQ(m->getAlert(2)->getTitle(), "Other");
}

TEST(AlertManager, LookupMisses) {
    auto m = makeStore();
    m->createAlert("a", "b", AlertSeverity::low, 0.0f, kMac, 0);
    EXPECT_EQ(m->getAlert(0), nullptr) << "0 is never an id";
    EXPECT_EQ(m->getAlert(2), nullptr);
    EXPECT_EQ(m->getAlert(0xFFFFFFFFu), nullptr);
}

TEST(AlertManager, TextsAreCutToTheirFields) {
    struct Case {
        const char* rule;
        size_t in;
        size_t kept;
    };
    auto m = makeStore();
    const std::string title(200, 't'), desc(600, 'd');
    const u32 id = m->createAlert(title, desc, AlertSeverity::medium, 0.0f, kMac, 0);
    Alert* a = m->getAlert(id);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->title_len, 128) << "title: 128 bytes";
    EXPECT_EQ(a->getTitle(), title.substr(0, 128));
    EXPECT_EQ(a->description_len, 512) << "description: 512 bytes";
    const Case setters[] = {
        {"evidence: 2048 bytes", 3000, 2048},
        {"source address: 46 bytes", 60, 46},
        {"destination address: 46 bytes", 47, 46},
    };
    a->setEvidence(std::string(setters[0].in, 'e'));
    a->setSourceIp(std::string(setters[1].in, 's'));
    a->setDestIp(std::string(setters[2].in, 'p'));
    EXPECT_EQ(a->getEvidence().size(), setters[0].kept) << setters[0].rule;
    EXPECT_EQ(a->getSourceIp().size(), setters[1].kept) << setters[1].rule;
    EXPECT_EQ(a->getDestIp().size(), setters[2].kept) << setters[2].rule;
    a->setSourceIp("192.168.1.20");
    EXPECT_EQ(a->getSourceIp(), "192.168.1.20") << "a shorter value replaces the old one";
}

u32 fill(AlertManager& m, u32 n) {
    u32 last = 0;
    for (u32 i = 0; i < n; ++i) last = m.createAlert("t", "d", AlertSeverity::low, 0.0f, kMac, 0);
    return last;
}

// Changed from "a full table refuses new alerts": a full table now keeps
// alerting by giving up its oldest closed alert, else its oldest alert.
TEST(AlertManager, FullTableReusesTheOldestSlot) {
    auto m = makeStore();
    ASSERT_EQ(fill(*m, kMaxAlerts), kMaxAlerts);
    LogCapture logs;
    const u32 late = m->createAlert("late", "d", AlertSeverity::critical, 0.0f, kMac, 0);
    EXPECT_EQ(late, kMaxAlerts + 1) << "ids keep growing";
    EXPECT_TRUE(
        logs.has("warning(alert_manager): alert table full (4096 alerts), alert 1 (new) "
                 "makes room for a new one"));
    EXPECT_EQ(m->getAlert(1), nullptr) << "the oldest alert gave up its slot";
    ASSERT_EQ(m->getAlert(late), &m->alerts[0]) << "in place, in slot 0";
    EXPECT_EQ(m->getAlert(late)->getTitle(), "late");
    EXPECT_EQ(m->alert_count, kMaxAlerts);
    EXPECT_EQ(m->evicted, 1u);
    for (u32 id = 2; id <= kMaxAlerts; ++id)
        ASSERT_EQ(m->getAlert(id), &m->alerts[id - 1]) << "every other alert stays found";

    // Closed alerts go first, oldest of them first, whatever their age
    // among the open ones.
    const i64 t = 1000;
    m->setStatus(3000, AlertStatus::false_positive, "", t);
    m->setStatus(2000, AlertStatus::resolved, "", t);
    const u32 a = m->createAlert("a", "", AlertSeverity::low, 0.0f, kMac, 0);
    const u32 b = m->createAlert("b", "", AlertSeverity::low, 0.0f, kMac, 0);
    EXPECT_EQ(m->getAlert(2000), nullptr);
    EXPECT_EQ(m->getAlert(3000), nullptr);
    EXPECT_EQ(m->getAlert(a), &m->alerts[1999]);
    EXPECT_EQ(m->getAlert(b), &m->alerts[2999]);
    const u32 c = m->createAlert("c", "", AlertSeverity::low, 0.0f, kMac, 0);
    EXPECT_EQ(m->getAlert(2), nullptr) << "then the oldest open alert again";
    EXPECT_EQ(m->getAlert(c), &m->alerts[1]);

    // Reopening a closed alert puts it back among the open ones in age order.
    m->setStatus(10, AlertStatus::resolved, "", t);
    m->setStatus(10, AlertStatus::acknowledged, "", t);
    m->createAlert("d", "", AlertSeverity::low, 0.0f, kMac, 0);
    EXPECT_NE(m->getAlert(10), nullptr) << "not closed any more";
    EXPECT_EQ(m->getAlert(3), nullptr);
}

TEST(AlertManager, IdIndexSurvivesManyReuses) {
    // Three full turns of the table: every id held stays found, every id
    // given up is gone (the index drops and takes ids as slots turn over).
    auto m = makeStore();
    const u32 last = fill(*m, kMaxAlerts * 3 + 17);
    for (u32 id = 1; id <= last; ++id) {
        const bool held = id > last - kMaxAlerts;
        const Alert* a = m->getAlert(id);
        ASSERT_EQ(a != nullptr, held) << id;
        if (a) {
            ASSERT_EQ(a->id, id);
        }
    }
}

TEST(AlertManager, TriageKeepsStatusNoteAndTime) {
    auto m = makeStore();
    const u32 id = fill(*m, 2);
    const std::string long_note(300, 'n');
    struct Case {
        AlertStatus status;
        std::string note;
        size_t kept;
    };
    const Case cases[] = {
        {AlertStatus::acknowledged, "seen", 4},
        {AlertStatus::investigating, "", 0},
        {AlertStatus::resolved, long_note, kAlertNoteCap},
        {AlertStatus::false_positive, "printer", 7},
    };
    i64 t = 500;
    for (const Case& c : cases) {
        Alert* a = m->setStatus(id, c.status, c.note, ++t);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->status, c.status);
        EXPECT_EQ(a->getNote(), std::string_view(c.note).substr(0, c.kept));
        EXPECT_EQ(a->status_changed_at, t);
        EXPECT_EQ(a->updated_at, t);
    }
    EXPECT_EQ(m->setStatus(99, AlertStatus::resolved, "", t), nullptr) << "unknown id";
    EXPECT_EQ(m->getAlert(1)->status, AlertStatus::new_) << "the other alert is untouched";
    EXPECT_EQ(parseStatus("false_positive"), AlertStatus::false_positive);
    EXPECT_EQ(parseStatus("Resolved"), std::nullopt);
}

TEST(AlertManager, RestoredAlertsKeepTheirIds) {
    auto m = makeStore();
    m->next_id = 50;  // start-up numbers this run above the stored alerts
    const u32 fresh = m->createAlert("this run", "", AlertSeverity::high, 0.0f, kMac, 0);
    EXPECT_EQ(fresh, 50u);
    EXPECT_EQ(m->restoreAlert(40, 123, "old", "d", AlertSeverity::low, 0.5f, kMac, 2), 40u);
    EXPECT_EQ(m->restoreAlert(7, 100, "older", "d", AlertSeverity::low, 0.0f, kMac, 0), 7u);
    EXPECT_EQ(m->restoreAlert(40, 1, "again", "d", AlertSeverity::low, 0.0f, kMac, 0), 0u)
        << "an id held already";
    EXPECT_EQ(m->restoreAlert(0, 1, "zero", "d", AlertSeverity::low, 0.0f, kMac, 0), 0u);
    EXPECT_EQ(m->getAlert(40)->created_at, 123);
    EXPECT_EQ(m->getAlert(40)->collision_wave_count, 2u);
    EXPECT_EQ(m->restoreAlert(60, 1, "later", "d", AlertSeverity::low, 0.0f, kMac, 0), 60u);
    EXPECT_EQ(m->next_id, 61u) << "next_id moves past a restored id";
    // Age order is by id: the oldest restored alert makes room first.
    fill(*m, kMaxAlerts - m->alert_count);
    m->createAlert("x", "", AlertSeverity::low, 0.0f, kMac, 0);
    EXPECT_EQ(m->getAlert(7), nullptr);
    EXPECT_NE(m->getAlert(40), nullptr);
    LogCapture logs;
    EXPECT_EQ(m->restoreAlert(8, 1, "full", "d", AlertSeverity::low, 0.0f, kMac, 0), 0u)
        << "a restored alert never displaces one of this run";
    EXPECT_TRUE(
        logs.has("error(alert_manager): alert table full (4096 alerts), cannot create alert"));
}

}  // namespace
}  // namespace tarvex
