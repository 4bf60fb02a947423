// The related-events lookup of the alert detail against a real server: which
// events match, their order, the cap, and the texts that ask nothing or fail.
#include "storage/event_queries.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "storage/db_support.h"
#include "support/log_capture.h"

namespace tarvex {
namespace {

TEST(PersistenceRead, RelatedEventsMatchTheAddressOrTheTextNewestFirst) {
    TARVEX_POOL_DB_OR_SKIP(pdb, "related");
    ASSERT_EQ(pdb.sql().execScript(
                  "INSERT INTO siem.events (event_type, source_ip, raw_data, event_time) VALUES "
                  "(4, '192.168.1.20', 'from it', to_timestamp(1000)), "
                  "(0, '10.0.0.1', 'names 192.168.1.20 inside', to_timestamp(3000)), "
                  "(0, '10.0.0.1', 'names 192.168.1.200 too', to_timestamp(2000)), "
                  "(0, '10.0.0.1', 'unrelated', to_timestamp(4000)), "
                  "(3, NULL, 'no source, 192.168.1.20', to_timestamp(500))"),
              Err::None);
    struct Related {
        DbEvent e[kMaxRelatedEvents];
    };
    auto out = std::make_unique<Related>();
    auto& rows = out->e;
    Result<u32> n = queryRelatedEvents(*pdb.pool, "192.168.1.20", rows);
    ASSERT_TRUE(n.ok());
    std::string got;
    for (u32 i = 0; i < n.value; ++i) {
        got += std::to_string(rows[i].timestamp) + "|" + std::to_string(rows[i].event_type) + "|" +
               std::string(rows[i].getSourceIp()) + "|" + std::string(rows[i].getData()) + "\n";
    }
    // The raw-text match is a substring match: "192.168.1.200" contains it.
    EXPECT_EQ(got,
              "3000|0|10.0.0.1|names 192.168.1.20 inside\n"
              "2000|0|10.0.0.1|names 192.168.1.200 too\n"
              "1000|4|192.168.1.20|from it\n"
              "500|3||no source, 192.168.1.20\n");

    // At most 50, newest first.
    ASSERT_EQ(pdb.sql().execScript(
                  "INSERT INTO siem.events (event_type, source_ip, raw_data, event_time) "
                  "SELECT 0, '172.16.0.9', 'x', to_timestamp(10000 + g) FROM "
                  "generate_series(1, 60) g"),
              Err::None);
    n = queryRelatedEvents(*pdb.pool, "172.16.0.9", rows);
    ASSERT_TRUE(n.ok());
    EXPECT_EQ(n.value, 50u);
    EXPECT_EQ(rows[0].timestamp, 10060);
    EXPECT_EQ(rows[49].timestamp, 10011);

    // Nothing is asked for an empty text; a text that is no address fails.
    n = queryRelatedEvents(*pdb.pool, "", rows);
    EXPECT_TRUE(n.ok() && n.value == 0);
    test::LogCapture log;
    n = queryRelatedEvents(*pdb.pool, "gateway", rows);
    EXPECT_EQ(n.err, Err::QueryFailed);
    EXPECT_TRUE(
        log.has("warning(persistence): failed to query related events for gateway: QueryFailed"));
}

}  // namespace
}  // namespace tarvex
