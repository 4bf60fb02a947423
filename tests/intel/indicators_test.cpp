// Indicator store: request defaults, type and severity texts, cut texts,
// slot-order paging, the full store, safe log lines and bulk acknowledgement.
#include "intel/indicators.h"

#include <gtest/gtest.h>

#include <limits>
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

TEST(IndicatorStore, ValueOnlyRequestIsManualMediumIp) {
    MappedTable<IndicatorStore> store;
    ASSERT_TRUE(store.ok());
    LogCapture log;
    Indicator ind = buildIndicator("203.0.113.9", std::nullopt, std::nullopt, std::nullopt);
    EXPECT_EQ(ind.indicator_type, IndicatorType::ip);
    EXPECT_EQ(ind.severity, IndicatorSeverity::medium);
    EXPECT_EQ(ind.getSource(), "manual");
    EXPECT_EQ(ind.expiry, 0);
    EXPECT_EQ(ind.created_at, 0) << "the store stamps the time";

    i64 before = wallSeconds();
    ASSERT_TRUE(store->addIndicator(ind));
    const Indicator& s = store->indicators[0];
    EXPECT_TRUE(s.active);
    EXPECT_GE(s.created_at, before);
    EXPECT_LE(s.created_at, wallSeconds());
    EXPECT_EQ(store->indicator_count, 1u);
    EXPECT_TRUE(log.has(
        "info(indicators): indicator added: type=ip value=\"203.0.113.9\" source=\"manual\""));

    Indicator dated = buildIndicator("x", std::nullopt, std::nullopt, std::nullopt);
    dated.created_at = 1234;
    ASSERT_TRUE(store->addIndicator(dated));
    EXPECT_EQ(store->indicators[1].created_at, 1234) << "a set time is kept";
}

TEST(IndicatorStore, TypeTextRules) {
    struct Row {
        std::optional<std::string_view> text;
        IndicatorType want;
        const char* rule;
    };
    const Row rows[] = {
        {"ip", IndicatorType::ip, "ip"},
        {"domain", IndicatorType::domain, "domain"},
        {"url", IndicatorType::url, "url"},
        {"hash_md5", IndicatorType::hash_md5, "md5"},
        {"hash_sha1", IndicatorType::hash_sha1, "sha1"},
        {"hash_sha256", IndicatorType::hash_sha256, "sha256"},
        {"email", IndicatorType::email, "email"},
        {"cidr", IndicatorType::cidr, "cidr"},
        {"IPv4", IndicatorType::ip, "unknown word falls back to ip"},
        {"Domain", IndicatorType::ip, "letter case matters"},
        {"", IndicatorType::ip, "empty"},
        {std::nullopt, IndicatorType::ip, "absent"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(parseIndicatorType(r.text), r.want) << r.rule;
        if (r.text && !r.text->empty() && r.want != IndicatorType::ip) {
            EXPECT_EQ(indicatorTypeName(r.want), *r.text) << "name round trip: " << r.rule;
        }
    }
}

TEST(IndicatorStore, SeverityTextRules) {
    struct Row {
        std::optional<std::string_view> text;
        IndicatorSeverity want;
        const char* rule;
    };
    const Row rows[] = {
        {std::nullopt, IndicatorSeverity::medium, "absent is medium"},
        {"critical", IndicatorSeverity::critical, "critical"},
        {"high", IndicatorSeverity::high, "high"},
        {"medium", IndicatorSeverity::medium, "medium"},
        {"low", IndicatorSeverity::low, "low"},
        {"urgent", IndicatorSeverity::info, "unknown word is info"},
        {"HIGH", IndicatorSeverity::info, "letter case matters"},
        {"", IndicatorSeverity::info, "present but empty is info, not medium"},
    };
    for (const auto& r : rows) EXPECT_EQ(parseIndicatorSeverity(r.text), r.want) << r.rule;
}

TEST(IndicatorStore, TextsAreCutToTheirFields) {
    std::string value(300, 'v'), source(100, 's');
    Indicator ind = buildIndicator(value, "domain", "high", std::string_view(source));
    EXPECT_EQ(ind.value_len, 256u);
    EXPECT_EQ(ind.getValue(), value.substr(0, 256));
    EXPECT_EQ(ind.getSource(), source.substr(0, 64));
    Indicator blank = buildIndicator("", std::nullopt, std::nullopt, std::string_view(""));
    EXPECT_EQ(blank.getValue(), "") << "an empty value is accepted";
    EXPECT_EQ(blank.getSource(), "") << "an empty source is kept, not replaced by manual";
}

TEST(IndicatorStore, StartsEmptyWithMediumSlots) {
    MappedTable<IndicatorStore> store;
    ASSERT_TRUE(store.ok());
    EXPECT_EQ(store->indicator_count, 0u);
    EXPECT_EQ(store->indicators[0].severity, IndicatorSeverity::medium);
    EXPECT_EQ(store->indicators[kMaxIndicators - 1].severity, IndicatorSeverity::medium);
    EXPECT_FALSE(store->indicators[0].active);
    Indicator out[1];
    EXPECT_EQ(store->listIndicators(0, 50, out, 1).total, 0u);
}

std::vector<std::string> pageValues(IndicatorStore& s, u32 offset, u32 limit) {
    std::vector<Indicator> out(500);
    IndicatorPage p = s.listIndicators(offset, limit, out.data(), static_cast<u32>(out.size()));
    std::vector<std::string> v;
    for (u32 i = 0; i < p.count; ++i) v.emplace_back(out[i].getValue());
    return v;
}

TEST(IndicatorStore, ListsInInsertionOrderWithPaging) {
    MappedTable<IndicatorStore> store;
    ASSERT_TRUE(store.ok());
    LogCapture log;
    for (const char* v : {"a", "b", "c", "d"})
        ASSERT_TRUE(
            store->addIndicator(buildIndicator(v, std::nullopt, std::nullopt, std::nullopt)));
    using V = std::vector<std::string>;
    EXPECT_EQ(pageValues(*store, 0, 50), (V{"a", "b", "c", "d"})) << "oldest first";
    EXPECT_EQ(pageValues(*store, 1, 2), (V{"b", "c"}));
    EXPECT_EQ(pageValues(*store, 3, 2), (V{"d"}));
    EXPECT_EQ(pageValues(*store, 4, 2), V{});
    EXPECT_EQ(pageValues(*store, 0xFFFFFFFFu, 500), V{}) << "offset+limit cannot wrap";
    Indicator one[1];
    IndicatorPage p = store->listIndicators(0, 50, one, 1);
    EXPECT_EQ(p.total, 4u);
    EXPECT_EQ(p.count, 1u) << "never more than the caller's room";
}

TEST(IndicatorStore, AdditionAfterTheLastSlotIsRefused) {
    MappedTable<IndicatorStore> store;
    ASSERT_TRUE(store.ok());
    LogCapture log;
    Indicator ind = buildIndicator("198.51.100.1", std::nullopt, std::nullopt, std::nullopt);
    for (u32 i = 0; i < kMaxIndicators; ++i) ASSERT_TRUE(store->addIndicator(ind)) << i;
    log.clear();
    EXPECT_FALSE(store->addIndicator(ind));
    EXPECT_TRUE(
        log.has("error(indicators): indicator store full (16384 entries), cannot add indicator"));
    EXPECT_FALSE(log.hasSubstring("indicator added")) << "a refused indicator is not announced";
    EXPECT_EQ(store->indicator_count, kMaxIndicators);
}

TEST(IndicatorStore, RequestTextCannotForgeLogLines) {
    MappedTable<IndicatorStore> store;
    ASSERT_TRUE(store.ok());
    LogCapture log;
    Indicator ind = buildIndicator("evil\nerror(main): forged\r", "domain", std::nullopt,
                                   std::string_view("feed\x01"));
    ASSERT_TRUE(store->addIndicator(ind));
    EXPECT_TRUE(
        log.has("info(indicators): indicator added: type=domain "
                "value=\"evil\\x0Aerror(main): forged\\x0D\" source=\"feed\\x01\""));
    EXPECT_EQ(store->indicators[0].getValue(), "evil\nerror(main): forged\r")
        << "the stored value stays as received";
}

TEST(IndicatorStore, BulkImportIsAcknowledgedAndLogged) {
    LogCapture log;
    FixedReply r = acknowledgeBulkIndicatorImport(42);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"status\":\"accepted\",\"message\":\"bulk import queued\"}");
    EXPECT_TRUE(log.has("info(routes): bulk indicator import request received (42 bytes)"));
}

TEST(IndicatorConcurrency, ParallelAdditionsAreAllKept) {
    MappedTable<IndicatorStore> store;
    ASSERT_TRUE(store.ok());
    LogCapture log;
    constexpr int kThreads = 8;
    constexpr int kPerThread = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<Indicator> page(8);
            for (int i = 0; i < kPerThread; ++i) {
                std::string v = std::to_string(t) + "." + std::to_string(i);
                store->addIndicator(buildIndicator(v, std::nullopt, std::nullopt, std::nullopt));
                store->listIndicators(0, 8, page.data(), 8);
            }
        });
    }
    for (auto& th : threads) th.join();
    std::vector<Indicator> all(kThreads * kPerThread);
    IndicatorPage p = store->listIndicators(0, 500, all.data(), static_cast<u32>(all.size()));
    EXPECT_EQ(p.total, static_cast<u32>(kThreads * kPerThread));
    std::set<std::string> values;
    for (u32 i = 0; i < p.count; ++i) values.emplace(all[i].getValue());
    EXPECT_EQ(values.size(), static_cast<size_t>(kThreads * kPerThread)) << "none overwritten";
}

}  // namespace
}  // namespace tarvex

namespace tarvex {
namespace {

TEST(IndicatorBodies, ListShapeAndWorstCaseBound) {
    Indicator ind = buildIndicator("evil.example", "domain", "high", std::string_view("feed\\1"));
    ind.created_at = 1700000000;
    FixedText<512> one;
    writeIndicatorListBody(one, &ind, {1, 1}, 50, 0);
    EXPECT_EQ(one.view(),
              "{\"indicators\":[{\"type\":\"domain\",\"value\":\"evil.example\",\"source\":"
              "\"feed\\\\1\",\"severity\":\"high\",\"expiry\":0,\"created_at\":1700000000}],"
              "\"total\":1,\"limit\":50,\"offset\":0}");

    std::string bad(512, '\xFF');
    std::vector<Indicator> items(500);
    for (auto& x : items) {
        x = buildIndicator(bad, "hash_sha256", "critical", std::string_view(bad));
        x.expiry = x.created_at = std::numeric_limits<i64>::min();
    }
    std::vector<char> room(kMaxIndicatorListBodyBytes);
    TextBuf out(room.data(), room.size());
    writeIndicatorListBody(out, items.data(), {0xFFFFFFFFu, 500}, 0xFFFFFFFFu, 0xFFFFFFFFu);
    EXPECT_FALSE(out.truncated);
}

}  // namespace
}  // namespace tarvex
