// The event ring of the write path: when a flush is due, which events a
// flush writes and in what order, the LIKE pattern of the related-events
// lookup, and text made storable.
#include "storage/persistence_batch.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/clock.h"
#include "pg/test_db.h"
#include "support/event_inserts.h"

namespace tarvex {
namespace {

constexpr i64 kStart = 1733650000;

// "prefix" followed by the decimal number.
std::string numbered(const char* prefix, int n) {
    std::string s = prefix;
    s += std::to_string(n);
    return s;
}

// The text between two "%".
std::string wrapped(const std::string& middle) {
    std::string s = "%";
    s += middle;
    s += '%';
    return s;
}

std::string repeated(const char* piece, int times) {
    std::string s;
    for (int i = 0; i < times; ++i) s += piece;
    return s;
}

std::unique_ptr<EventBatch> newBatch() {
    auto b = std::make_unique<EventBatch>();
    b->init(kStart);
    return b;
}

void bufferNumbered(EventBatch& b, int from, int to, i64 now = kStart) {
    for (int i = from; i < to; ++i) {
        b.bufferEvent(static_cast<u8>(i % 5), "192.168.1.20", numbered("event ", i), now);
    }
}

TEST(PersistenceBatch, FlushIsDueAtHundredEventsOrFiveSeconds) {
    struct Case {
        int events;
        i64 seconds_since_flush;
        bool due;
        const char* rule;
    };
    const Case cases[] = {
        {99, 0, false, "99 events within the interval"},
        {100, 0, true, "the 100th event triggers at once"},
        {300, 0, true, "past the batch size"},
        {3, 4, false, "3 events, 4 s"},
        {3, 5, true, "3 events, 5 s since the last flush"},
        {0, 5, true, "interval elapsed with nothing buffered (a no-op flush)"},
        {3, -30, false, "clock went back: counted as no time"},
    };
    for (const auto& c : cases) {
        auto b = newBatch();
        bufferNumbered(*b, 0, c.events);
        EXPECT_EQ(b->shouldFlush(kStart + c.seconds_since_flush), c.due) << c.rule;
    }
}

TEST(PersistenceBatch, RingKeepsTheNewestOldestFirst) {
    struct Case {
        int buffered;
        u32 pending;
        int first;  // the oldest surviving event; the rest follow in order
        const char* rule;
    };
    const Case cases[] = {
        {3, 3, 0, "fewer than the ring holds: from slot 0"},
        {256, 256, 0, "exactly full"},
        {257, 256, 1, "one over: the oldest is overwritten"},
        {300, 256, 44, "300 during an outage: the 256 most recent, ending with the last"},
        {1000, 256, 744, "many laps"},
    };
    for (const auto& c : cases) {
        auto b = newBatch();
        bufferNumbered(*b, 0, c.buffered);
        ASSERT_EQ(b->pendingCount(), c.pending) << c.rule;
        for (u32 i = 0; i < c.pending; ++i) {
            ASSERT_EQ(b->pending(i).getData(), numbered("event ", c.first + static_cast<int>(i)))
                << c.rule << ": ring order at " << i;
        }
    }
}

TEST(PersistenceBatch, InsertParamsSkipEmptyEventsAndNullMissingAddresses) {
    auto b = newBatch();
    b->bufferEvent(2, "192.168.1.20", "DHCPACK(br0) 192.168.1.20 aa:bb:cc:dd:ee:ff phone", kStart);
    b->bufferEvent(0, "10.0.0.1", "", kStart + 1);
    b->bufferEvent(3, "", "query[A] example.com", kStart + 2);
    std::vector<PgParam> params;
    ASSERT_EQ(test::appendInsertParams(*b, params), 2u) << "the event without raw data is skipped";
    ASSERT_EQ(params.size(), 8u);
    struct Case {
        size_t index;
        bool null;
        const char* text;
        const char* rule;
    };
    const Case cases[] = {
        {0, false, "2", "$1 event type number"},
        {1, false, "192.168.1.20", "$2 source address"},
        {2, false, "DHCPACK(br0) 192.168.1.20 aa:bb:cc:dd:ee:ff phone", "$3 raw text"},
        {3, false, "1733650000", "$4 buffered seconds"},
        {4, false, "3", "next row after the skipped event"},
        {5, true, "", "no source address is NULL, not an empty inet"},
        {7, false, "1733650002", "its own timestamp"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(params[c.index].isNull(), c.null) << c.rule;
        EXPECT_EQ(params[c.index].text(), c.text) << c.rule;
    }
    EXPECT_EQ(test::eventInsertSql(2),
              "INSERT INTO siem.events (event_type, source_ip, raw_data, event_time) VALUES "
              "($1::smallint, $2::inet, $3, to_timestamp($4)), "
              "($5::smallint, $6::inet, $7, to_timestamp($8))");
}

TEST(PersistenceBatch, LikePatternEscapesWildcards) {
    struct Case {
        std::string text;
        Err err;
        std::string pattern;
        const char* rule;
    };
    const Case cases[] = {
        {"10_0%1", Err::None, "%10\\_0\\%1%", "underscore and percent escaped"},
        {"a\\b", Err::None, "%a\\\\b%", "backslash escaped"},
        {"192.168.1.20", Err::None, "%192.168.1.20%", "plain text wrapped"},
        {"", Err::None, "%%", "empty text"},
        {std::string(254, 'a'), Err::None, wrapped(std::string(254, 'a')), "exactly 256 bytes"},
        {std::string(255, 'a'), Err::Overflow, "", "257 bytes: no query"},
        {std::string(127, '_'), Err::None, wrapped(repeated("\\_", 127)),
         "escapes count toward the limit (fits)"},
        {std::string(128, '_'), Err::Overflow, "", "escapes count toward the limit (over)"},
    };
    for (const auto& c : cases) {
        char out[256];
        Result<size_t> r = escapeLikePattern(c.text, out);
        ASSERT_EQ(r.err, c.err) << c.rule;
        if (!r.ok()) continue;
        EXPECT_EQ(std::string(out, r.value), c.pattern) << c.rule;
    }
}

TEST(PersistenceBatch, TextIsMadeStorable) {
    struct Case {
        std::string in;
        std::string out;
        const char* rule;
    };
    const Case cases[] = {
        {"plain ascii", "plain ascii", "ASCII unchanged"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x92", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x92",
         "valid 2, 3 and 4 byte sequences unchanged"},
        {std::string("a\0b", 3), "a?b", "NUL replaced"},
        {"a\x80z", "a?z", "lone continuation byte"},
        {"a\xc3", "a?", "sequence cut at the end"},
        {"\xe2\x82z", "??z", "truncated three-byte sequence"},
        {"\xc0\x80", "??", "overlong NUL"},
        {"\xe0\x80\x80", "???", "overlong three-byte form"},
        {"\xed\xa0\x80", "???", "UTF-16 surrogate"},
        {"\xf4\x90\x80\x80", "????", "beyond U+10FFFF"},
        {"\xf5\x80", "??", "invalid lead byte"},
    };
    for (const auto& c : cases) {
        std::string t = c.in;
        makeStorableText(std::span<char>(t.data(), t.size()));
        EXPECT_EQ(t, c.out) << c.rule;
    }
    auto b = newBatch();
    std::string raw(2047, 'x');
    raw += "\xc3\xa9";  // the two-byte character straddles the 2048-byte cut
    b->bufferEvent(0, std::string(60, '1'), raw, kStart);
    EXPECT_EQ(b->pending(0).getSourceIp().size(), 46u) << "address cut to 46 bytes";
    EXPECT_EQ(b->pending(0).getData().size(), 2048u) << "raw text cut to 2048 bytes";
    EXPECT_EQ(b->pending(0).getData().back(), '?') << "half a character at the cut";
}

TEST(PgEventBatch, OneFlushAfterAnOutageWritesTheNewestInOrder) {
    TARVEX_PG_URL_OR_SKIP(scram, "TARVEX_TEST_PG_SCRAM_URL");
    test::SchemaDatabase s(scram, "batch");
    ASSERT_TRUE(s.conn);
    auto b = newBatch();
    i64 now = wallSeconds();
    for (int i = 0; i < 300; ++i) {
        // Every tenth event has no raw data; one carries bytes text cannot hold.
        std::string raw = i % 10 == 0 ? "" : numbered("event ", i);
        if (i == 299) raw += std::string("\0\xff", 2);
        b->bufferEvent(static_cast<u8>(i % 5), i % 7 == 0 ? "" : numbered("10.0.0.", i % 200), raw,
                       now - 300 + i);
    }
    ASSERT_TRUE(b->shouldFlush(now));
    std::vector<PgParam> params;
    u32 rows = test::appendInsertParams(*b, params);
    std::string sql = test::eventInsertSql(rows);
    PgConn& c = *s.conn;
    ASSERT_EQ(c.begin(), Err::None);
    ASSERT_EQ(c.exec(sql.c_str(), params), Err::None) << c.lastError();
    ASSERT_EQ(c.commit(), Err::None);
    b->markFlushed(now);
    EXPECT_EQ(b->pendingCount(), 0u);
    EXPECT_FALSE(b->shouldFlush(now));

    Result<PgRows> r = c.query(
        "SELECT raw_data, EXTRACT(EPOCH FROM event_time)::bigint, host(source_ip) "
        "FROM siem.events ORDER BY id");
    ASSERT_TRUE(r.ok()) << c.lastError();
    std::vector<int> written;
    while (r.value.next()) {
        std::string raw(r.value.getText(0).value_or(""));
        int i = std::stoi(raw.substr(6));
        written.push_back(i);
        EXPECT_EQ(r.value.getI64(1).value, now - 300 + i) << "event " << i;
        EXPECT_EQ(r.value.isNull(2), i % 7 == 0) << "event " << i;
        if (i == 299) {
            EXPECT_EQ(raw, "event 299??") << "NUL and a stray byte stored as '?'";
        }
    }
    std::vector<int> expected;
    for (int i = 44; i < 300; ++i) {
        if (i % 10 != 0) expected.push_back(i);
    }
    EXPECT_EQ(written, expected) << "the 256 newest, oldest first, empty ones skipped";
}

}  // namespace
}  // namespace tarvex
