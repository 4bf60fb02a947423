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

TEST(AlertManager, FullTableRefusesNewAlerts) {
    auto m = makeStore();
    for (u32 i = 1; i <= kMaxAlerts; ++i)
        ASSERT_EQ(m->createAlert("t", "d", AlertSeverity::low, 0.0f, kMac, 0), i);
    LogCapture logs;
    EXPECT_EQ(m->createAlert("late", "d", AlertSeverity::critical, 0.0f, kMac, 0), 0u);
    EXPECT_EQ(logs.lines(),
              std::vector<std::string>{
                  "error(alert_manager): alert table full (4096 alerts), cannot create alert"});
    EXPECT_EQ(m->alert_count, kMaxAlerts);
    EXPECT_EQ(m->next_id, kMaxAlerts + 1);
    for (u32 id = 1; id <= kMaxAlerts; ++id)
        ASSERT_EQ(m->getAlert(id), &m->alerts[id - 1]) << "ids in slot order";
    EXPECT_EQ(m->getAlert(kMaxAlerts + 1), nullptr);
}

}  // namespace
}  // namespace tarvex
