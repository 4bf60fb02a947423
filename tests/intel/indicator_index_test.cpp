// Indicator matching and the store around it: each type, parent domains,
// network edges, expiry, duplicates, re-read origins, and an index swapped
// while the listener reads.
#include "intel/indicator_index.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "engine_state.h"
#include "intel/indicator_feed.h"
#include "intel/indicators.h"
#include "support/log_capture.h"
#include "support/mapped_table.h"

namespace tarvex {
namespace {

using test::LogCapture;
using test::MappedTable;

constexpr i64 kNow = 1800000000;

Indicator make(IndicatorType t, std::string_view v, i64 expiry = 0,
               std::string_view source = "feed") {
    Indicator ind{};
    ind.indicator_type = t;
    ind.setValue(v);
    ind.setSource(source);
    ind.severity = IndicatorSeverity::high;
    ind.expiry = expiry;
    return ind;
}

std::vector<Indicator> readFeed(std::string_view text) {
    std::vector<Indicator> items(256);
    FeedResult r = parseIndicatorFeed(text, {}, items.data(), 256);
    items.resize(r.count);
    return items;
}

// The matched value, or "" for no match.
std::string matched(const IndicatorEntry* e) {
    return e ? std::string(e->getValue()) : std::string();
}

TEST(IndicatorIndex, EachTypeMatchesItsEventValues) {
    LogCapture quiet;
    MappedTable<IndicatorStore> store;
    ASSERT_TRUE(store.ok());
    std::vector<Indicator> items = readFeed(
        "203.0.113.9\n"
        "2001:db8::dead\n"
        "198.51.100.0/24\n"
        "2001:db8:bad::/48\n"
        "evil.example\n"
        "https://bad.example/dl/payload.exe\n"
        "d41d8cd98f00b204e9800998ecf8427e\n"
        "phish@evil.example\n");
    ASSERT_EQ(items.size(), 8u);
    ASSERT_EQ(store->importIndicators(items.data(), 8, true).imported, 8u);
    const IndicatorIndex& ix = *store->publishedIndex();
    EXPECT_EQ(ix.size(), 8u);
    struct Case {
        std::string got;
        std::string want;
        const char* rule;
    } cases[] = {
        {matched(ix.matchAddress("203.0.113.9", kNow)), "203.0.113.9", "IPv4 address"},
        {matched(ix.matchAddress("203.0.113.10", kNow)), "", "its neighbour"},
        {matched(ix.matchAddress("2001:DB8:0:0:0:0:0:DEAD", kNow)), "2001:db8::dead",
         "IPv6 in any spelling"},
        {matched(ix.matchAddress("::ffff:203.0.113.9", kNow)), "203.0.113.9",
         "IPv4-mapped IPv6 is the IPv4 address"},
        {matched(ix.matchAddress("198.51.100.255", kNow)), "198.51.100.0/24", "network, last"},
        {matched(ix.matchAddress("198.51.100.0", kNow)), "198.51.100.0/24", "network, first"},
        {matched(ix.matchAddress("198.51.101.0", kNow)), "", "network, one past"},
        {matched(ix.matchAddress("2001:db8:bad:ffff::1", kNow)), "2001:db8:bad::/48",
         "IPv6 network"},
        {matched(ix.matchAddress("2001:db8:bae::1", kNow)), "", "IPv6 network, one past"},
        {matched(ix.matchAddress("not an address", kNow)), "", "text that is no address"},
        {matched(ix.matchDomain("evil.example", kNow)), "evil.example", "the domain"},
        {matched(ix.matchDomain("beacon.c2.EVIL.example.", kNow)), "evil.example",
         "any sub-domain, any case"},
        {matched(ix.matchDomain("notevil.example", kNow)), "", "a label, not a suffix"},
        {matched(ix.matchDomain("example", kNow)), "", "the parent of a listed name"},
        {matched(ix.matchUrl("http://BAD.example/dl/payload.exe", kNow)),
         "bad.example/dl/payload.exe", "a URL under another scheme"},
        {matched(ix.matchUrl("https://bad.example/dl/PAYLOAD.exe", kNow)), "",
         "the path keeps its case"},
        {matched(ix.matchHash("D41D8CD98F00B204E9800998ECF8427E", kNow)),
         "d41d8cd98f00b204e9800998ecf8427e", "a hash in capitals"},
        {matched(ix.matchDomain("phish@evil.example", kNow)), "",
         "an e-mail address is not a domain"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.rule;
}

TEST(IndicatorIndex, NetworkEdgesAndLongestPrefix) {
    LogCapture quiet;
    MappedTable<IndicatorStore> store;
    ASSERT_TRUE(store.ok());
    Indicator items[] = {
        make(IndicatorType::cidr, "10.0.0.0/8"),      make(IndicatorType::cidr, "10.1.2.3/32"),
        make(IndicatorType::cidr, "10.1.0.0/16"),     make(IndicatorType::cidr, "::/0"),
        make(IndicatorType::cidr, "2001:db8::1/128"),
    };
    ASSERT_EQ(store->importIndicators(items, 5, true).imported, 5u);
    const IndicatorIndex& ix = *store->publishedIndex();
    EXPECT_EQ(matched(ix.matchAddress("10.1.2.3", kNow)), "10.1.2.3/32") << "longest first";
    EXPECT_EQ(matched(ix.matchAddress("10.1.2.4", kNow)), "10.1.0.0/16");
    EXPECT_EQ(matched(ix.matchAddress("10.255.255.255", kNow)), "10.0.0.0/8");
    EXPECT_EQ(matched(ix.matchAddress("11.0.0.0", kNow)), "") << "/0 of IPv6 is not IPv4's";
    EXPECT_EQ(matched(ix.matchAddress("2001:db8::1", kNow)), "2001:db8::1/128");
    EXPECT_EQ(matched(ix.matchAddress("fe80::1", kNow)), "::/0") << "/0 takes every address";

    MappedTable<IndicatorStore> all;
    ASSERT_TRUE(all.ok());
    Indicator everything = make(IndicatorType::cidr, "0.0.0.0/0");
    all->importIndicators(&everything, 1, true);
    EXPECT_EQ(matched(all->publishedIndex()->matchAddress("255.255.255.255", kNow)), "0.0.0.0/0");
    EXPECT_EQ(matched(all->publishedIndex()->matchAddress("0.0.0.0", kNow)), "0.0.0.0/0");
}

TEST(IndicatorIndex, ExpiredIndicatorsStopMatching) {
    LogCapture quiet;
    MappedTable<IndicatorStore> store;
    ASSERT_TRUE(store.ok());
    Indicator items[] = {
        make(IndicatorType::domain, "old.example", kNow),
        make(IndicatorType::domain, "c2.old.example", kNow + 60),
        make(IndicatorType::ip, "192.0.2.1", kNow - 1),
        make(IndicatorType::cidr, "192.0.2.0/24"),
    };
    store->importIndicators(items, 4, true);
    const IndicatorIndex& ix = *store->publishedIndex();
    EXPECT_EQ(matched(ix.matchDomain("old.example", kNow - 1)), "old.example");
    EXPECT_EQ(matched(ix.matchDomain("old.example", kNow)), "") << "expired at its expiry";
    EXPECT_EQ(matched(ix.matchDomain("x.c2.old.example", kNow)), "c2.old.example")
        << "a live child listing still matches";
    EXPECT_EQ(matched(ix.matchAddress("192.0.2.1", kNow)), "192.0.2.0/24")
        << "an expired address falls through to a live network";
}

TEST(IndicatorStoreImport, DuplicatesFullStoreAndUnmatchableValues) {
    LogCapture log;
    MappedTable<IndicatorStore> store;
    ASSERT_TRUE(store.ok());
    Indicator twice[] = {make(IndicatorType::ip, "192.0.2.7"), make(IndicatorType::ip, "192.0.2.7"),
                         make(IndicatorType::domain, "192.0.2.7")};
    ImportCounts c = store->importIndicators(twice, 3, true);
    EXPECT_EQ(c.imported, 2u) << "the same value under another type is another indicator";
    EXPECT_EQ(c.duplicate, 1u);
    EXPECT_EQ(store->importIndicators(twice, 1, true).duplicate, 1u) << "already stored";
    EXPECT_EQ(store->publishedIndex()->size(), 1u)
        << "an address stored as a domain cannot match and is left out of the index";

    ASSERT_TRUE(store->addIndicator(buildIndicator("x", std::nullopt, std::nullopt, std::nullopt)));
    std::vector<Indicator> many;
    for (u32 i = 0; i < kMaxIndicators; ++i)
        many.push_back(make(IndicatorType::ip, "10." + std::to_string(i >> 8 & 0xFF) + "." +
                                                   std::to_string(i & 0xFF) + ".1"));
    c = store->importIndicators(many.data(), kMaxIndicators, true);
    EXPECT_EQ(c.imported, kMaxIndicators - 3);
    EXPECT_EQ(c.rejected, 3u) << "no room for the last three";
    EXPECT_EQ(store->indicator_count, kMaxIndicators);
    EXPECT_TRUE(
        log.has("error(indicators): indicator store full (16384 entries), cannot add "
                "indicator"));
}

TEST(IndicatorStoreImport, ReplacingAnOriginKeepsHitsOfWhatStays) {
    LogCapture quiet;
    MappedTable<IndicatorStore> store;
    ASSERT_TRUE(store.ok());
    Indicator api = make(IndicatorType::ip, "192.0.2.1");
    store->importIndicators(&api, 1, true);
    std::vector<Indicator> first = readFeed("192.0.2.1\n192.0.2.2\n192.0.2.3\n");
    ReloadCounts c = store->replaceOrigin(1, first.data(), 3);
    EXPECT_EQ(c.added, 2u);
    EXPECT_EQ(c.duplicate, 1u) << "the API's indicator stays the API's";

    const IndicatorEntry* e = store->publishedIndex()->matchAddress("192.0.2.2", kNow);
    ASSERT_NE(e, nullptr);
    store->publishedIndex()->countHit(*e, kNow);

    std::vector<Indicator> second = readFeed("192.0.2.2\n192.0.2.4\n");
    second[0].severity = IndicatorSeverity::critical;
    c = store->replaceOrigin(1, second.data(), 2);
    EXPECT_EQ(c.added, 1u);
    EXPECT_EQ(c.kept, 1u);
    EXPECT_EQ(c.removed, 1u);
    const IndicatorIndex& ix = *store->publishedIndex();
    EXPECT_EQ(matched(ix.matchAddress("192.0.2.3", kNow)), "") << "no longer named";
    EXPECT_EQ(matched(ix.matchAddress("192.0.2.1", kNow)), "192.0.2.1");
    ASSERT_NE(ix.matchAddress("192.0.2.2", kNow), nullptr);
    EXPECT_EQ(ix.matchAddress("192.0.2.2", kNow)->severity, IndicatorSeverity::critical);

    Indicator page[8];
    IndicatorPage p = store->listIndicators(0, 8, page, 8);
    ASSERT_EQ(p.total, 3u);
    EXPECT_EQ(page[1].getValue(), "192.0.2.2");
    EXPECT_EQ(page[1].hits, 1u) << "a kept indicator keeps its hits";
    EXPECT_EQ(page[1].last_hit, kNow);
    EXPECT_EQ(page[2].getValue(), "192.0.2.4") << "the freed slot is taken again";
    EXPECT_EQ(page[2].hits, 0u);
}

// The HTTP side imports and a file is re-read while the listener matches
// under the state lock: the listener only ever sees whole indexes.
TEST(IndicatorIndexConcurrency, SwapWhileTheListenerReads) {
    LogCapture quiet;
    std::unique_ptr<EngineState> engine = EngineState::create(200);
    ASSERT_TRUE(engine);
    MappedTable<IndicatorStore> store;
    ASSERT_TRUE(store.ok());
    store->attach(engine.get());
    std::vector<Indicator> feed = readFeed("198.51.100.0/24\nevil.example\n");
    store->replaceOrigin(1, feed.data(), static_cast<u32>(feed.size()));

    std::atomic<bool> done{false};
    std::atomic<u64> misses{0}, lookups{0};
    std::thread listener([&] {
        while (!done.load()) {
            ExclusiveGuard hold(engine->lock);
            const IndicatorIndex* ix = engine->indicators;
            const IndicatorEntry* a = ix->matchAddress("198.51.100.7", kNow);
            const IndicatorEntry* d = ix->matchDomain("x.evil.example", kNow);
            if (!a || !d) misses.fetch_add(1);
            if (a) ix->countHit(*a, kNow);
            lookups.fetch_add(1);
        }
    });
    std::thread http([&] {
        Indicator page[4];
        for (int i = 0; i < 200; ++i) {
            Indicator one = make(IndicatorType::ip, "192.0.2." + std::to_string(i % 250));
            store->importIndicators(&one, 1, false);
            store->replaceOrigin(1, feed.data(), static_cast<u32>(feed.size()));
            store->listIndicators(0, 4, page, 4);
        }
    });
    http.join();
    while (lookups.load() < 100) std::this_thread::yield();
    done = true;
    listener.join();
    EXPECT_EQ(misses.load(), 0u) << "the file's indicators were in every index published";
    Indicator page[2];
    store->listIndicators(0, 1, page, 1);
    EXPECT_EQ(page[0].hits, lookups.load());
}

}  // namespace
}  // namespace tarvex
