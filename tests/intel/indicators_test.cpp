// Indicator store: request defaults, type and severity texts, cut texts,
// slot-order paging, the full store, safe log lines, concurrency.
#include "intel/indicators.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "common/clock.h"
#include "support/log_capture.h"
#include "support/mapped_table.h"

namespace tarvex {
namespace {

using test::LogCapture;
using test::MappedTable;

const auto kAbsent = std::nullopt;

TEST(IndicatorStore, ValueOnlyRequestIsManualMediumIp) {
    MappedTable<IndicatorStore> store;
    ASSERT_TRUE(store.ok());
    LogCapture log;
    i64 before = wallSeconds();
    ASSERT_TRUE(store->addIndicator(buildIndicator("203.0.113.9", kAbsent, kAbsent, kAbsent)));
    const Indicator& s = store->indicators[0];
    EXPECT_EQ(s.indicator_type, IndicatorType::ip);
    EXPECT_EQ(s.severity, IndicatorSeverity::medium);
    EXPECT_EQ(s.getSource(), "manual");
    EXPECT_EQ(s.expiry, 0);
    EXPECT_GE(s.created_at, before) << "the store stamps the time";
    EXPECT_TRUE(log.has(
        "info(indicators): indicator added: type=ip value=\"203.0.113.9\" source=\"manual\""));

    std::string value(300, 'v'), source(100, 's');
    Indicator cut = buildIndicator(value, "url", "low", std::string_view(source));
    EXPECT_EQ(cut.getValue(), value.substr(0, 256)) << "value cut to 256 bytes";
    EXPECT_EQ(cut.getSource(), source.substr(0, 64)) << "source cut to 64 bytes";
    EXPECT_EQ(buildIndicator("", kAbsent, kAbsent, std::string_view("")).getSource(), "")
        << "an empty source is kept, not replaced by manual";
}

TEST(IndicatorStore, TypeAndSeverityTextRules) {
    const std::pair<std::optional<std::string_view>, IndicatorType> types[] = {
        {"ip", IndicatorType::ip},
        {"domain", IndicatorType::domain},
        {"url", IndicatorType::url},
        {"hash_md5", IndicatorType::hash_md5},
        {"hash_sha1", IndicatorType::hash_sha1},
        {"hash_sha256", IndicatorType::hash_sha256},
        {"email", IndicatorType::email},
        {"cidr", IndicatorType::cidr},
        {"IPv4", IndicatorType::ip},    // unknown word falls back to ip
        {"Domain", IndicatorType::ip},  // letter case matters
        {kAbsent, IndicatorType::ip},
    };
    for (const auto& [text, want] : types) {
        EXPECT_EQ(parseIndicatorType(text), want) << text.value_or("-");
        if (want != IndicatorType::ip) {
            EXPECT_EQ(indicatorTypeName(want), *text);
        }
    }
    const std::pair<std::optional<std::string_view>, IndicatorSeverity> severities[] = {
        {kAbsent, IndicatorSeverity::medium},  // absent is medium
        {"critical", IndicatorSeverity::critical},
        {"high", IndicatorSeverity::high},
        {"medium", IndicatorSeverity::medium},
        {"low", IndicatorSeverity::low},
        {"urgent", IndicatorSeverity::info},  // anything else is info ...
        {"HIGH", IndicatorSeverity::info},
        {"", IndicatorSeverity::info},  // ... even when empty
    };
    for (const auto& [text, want] : severities)
        EXPECT_EQ(parseIndicatorSeverity(text), want) << text.value_or("-");
}

TEST(IndicatorStore, ListsInInsertionOrderAndRefusesWhenFull) {
    MappedTable<IndicatorStore> store;
    ASSERT_TRUE(store.ok());
    LogCapture log;
    for (const char* v : {"a", "b", "c"})
        ASSERT_TRUE(store->addIndicator(buildIndicator(v, "domain", "high", kAbsent)));
    Indicator out[2];
    IndicatorPage p = store->listIndicators(1, 50, out, 2);
    EXPECT_EQ(p.total, 3u);
    ASSERT_EQ(p.count, 2u);
    EXPECT_EQ(out[0].getValue(), "b") << "oldest first, after the offset";
    EXPECT_EQ(store->listIndicators(0xFFFFFFFFu, 500, out, 2).count, 0u) << "no wrap";

    Indicator ind = buildIndicator("x", kAbsent, kAbsent, kAbsent);
    while (store->indicator_count < kMaxIndicators) ASSERT_TRUE(store->addIndicator(ind));
    log.clear();
    EXPECT_FALSE(store->addIndicator(ind));
    EXPECT_TRUE(
        log.has("error(indicators): indicator store full (16384 entries), cannot add indicator"));
    EXPECT_FALSE(log.hasSubstring("indicator added"));
    EXPECT_EQ(store->indicator_count, kMaxIndicators);
}

TEST(IndicatorStore, RequestTextCannotForgeLogLines) {
    MappedTable<IndicatorStore> store;
    ASSERT_TRUE(store.ok());
    LogCapture log;
    ASSERT_TRUE(store->addIndicator(buildIndicator("evil\nerror(main): forged\r", "domain", kAbsent,
                                                   std::string_view("f\x01"))));
    EXPECT_TRUE(
        log.has("info(indicators): indicator added: type=domain "
                "value=\"evil\\x0Aerror(main): forged\\x0D\" source=\"f\\x01\""));
    EXPECT_EQ(store->indicators[0].getValue(), "evil\nerror(main): forged\r") << "stored as sent";
}

}  // namespace
}  // namespace tarvex
