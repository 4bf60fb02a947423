// The analytics bodies: written from given rows, and answered from a
// database with known rows (buckets per range, the busiest sources, the
// lifetime totals, and failed queries).
#include "api/analytics.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/text.h"
#include "storage/db_support.h"
#include "support/json_text.h"
#include "support/log_capture.h"

namespace tarvex {
namespace {

using test::scalar;
using test::writtenJson;

// Answers `q` as the endpoint does once a database is configured: the status
// sent, with the body in `body`.
u16 answer(Persistence& db, AnalyticsQuery q, RangeParams range, std::string& body) {
    std::vector<char> scratch(kHandlerScratchBytes);
    Arena arena(scratch.data(), scratch.size());
    auto req = std::make_unique<HttpRequest>();
    req->arena = &arena;
    HttpResponse res(&arena);
    EXPECT_EQ(queryAnalytics(db, q, range, *req, res), Err::None);
    EXPECT_EQ(res.content_type, ContentType::json);
    body = std::string(res.body());
    return res.status;
}

TEST(AnalyticsBodies, SeriesAreWrittenFromTheirRows) {
    RangeParams week = parseRange(std::nullopt), quarter = parseRange("90d");
    const EventBucket events[] = {{3600, 6, 1, 2, 3, 0}, {-7200, 9223372036854775807, 0, 0, 0, 0}};
    const AlertBucket alerts[] = {{86400, 15, 1, 2, 3, 4, 5}};
    const DeviceBucket devices[] = {{0, 3, 1}, {86400, 2, 2}};
    struct Row {
        std::function<void(JsonWriter&)> write;
        std::string want;
    };
    const Row rows[] = {
        {[&](JsonWriter& j) { writeEventSeriesBody(j, events, week); },
         "{\"buckets\":[{\"t\":3600,\"total\":6,\"syslog\":1,\"cef\":2,\"dhcp\":3,\"dns\":0},"
         "{\"t\":-7200,\"total\":9223372036854775807,\"syslog\":0,\"cef\":0,\"dhcp\":0,"
         "\"dns\":0}],\"range\":\"7 days\",\"bucket\":\"hour\"}"},
        {[&](JsonWriter& j) { writeEventSeriesBody(j, {}, quarter); },
         "{\"buckets\":[],\"range\":\"90 days\",\"bucket\":\"day\"}"},
        {[&](JsonWriter& j) { writeAlertSeriesBody(j, alerts, quarter); },
         "{\"buckets\":[{\"t\":86400,\"total\":15,\"critical\":1,\"high\":2,\"medium\":3,"
         "\"low\":4,\"info\":5}],\"range\":\"90 days\",\"bucket\":\"day\"}"},
        {[&](JsonWriter& j) { writeDeviceSeriesBody(j, devices, week); },
         "{\"buckets\":[{\"t\":0,\"discovered\":3,\"fingerprinted\":1},{\"t\":86400,"
         "\"discovered\":2,\"fingerprinted\":2}],\"range\":\"7 days\",\"bucket\":\"hour\"}"},
    };
    for (const Row& r : rows) EXPECT_EQ(writtenJson(r.write), r.want);
}

TEST(AnalyticsBodies, TopTalkersAndLifetimeTotals) {
    TopTalkers t{};
    EXPECT_EQ(writtenJson([&](JsonWriter& j) { writeTopTalkersBody(j, t); }), "{\"talkers\":[]}");
    for (std::string_view ip : {"10.0.0.1", "fe80::1", "a\"b"}) {
        TopTalker& row = t.rows[t.count];
        copyBounded(row.ip, row.ip_len, ip);
        row.count = 40 - 10 * t.count;
        ++t.count;
    }
    EXPECT_EQ(writtenJson([&](JsonWriter& j) { writeTopTalkersBody(j, t); }),
              "{\"talkers\":[{\"ip\":\"10.0.0.1\",\"count\":40},{\"ip\":\"fe80::1\",\"count\":30},"
              "{\"ip\":\"a\\\"b\",\"count\":20}]}");

    // Every total distinct, so a key written from the wrong field shows.
    LifetimeStats s{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, -13, 14, 15, 16};
    EXPECT_EQ(writtenJson([&](JsonWriter& j) { writeLifetimeStatsBody(j, s); }),
              "{\"total_events\":1,\"total_devices\":2,\"total_alerts\":3,\"syslog_events\":4,"
              "\"cef_events\":5,\"dhcp_events\":6,\"dns_events\":7,\"critical_alerts\":8,"
              "\"high_alerts\":9,\"medium_alerts\":10,\"low_alerts\":11,\"info_alerts\":12,"
              "\"first_event_at\":-13,\"last_event_at\":14,\"total_cases\":15,"
              "\"unique_source_ips\":16}");
}

// The bucket start of `expr` (an SQL timestamp) for unit `unit`, in epoch s.
std::string bucketOf(PgConn& c, const std::string& unit, const std::string& expr) {
    return scalar(c, "SELECT EXTRACT(EPOCH FROM date_trunc('" + unit + "', " + expr + "))::bigint");
}

TEST(AnalyticsQueries, EventSeriesCountsPerBucketAndType) {
    TARVEX_PERSISTENCE_DB_OR_SKIP(pdb, "an_events");
    PgConn& c = pdb.sql();
    const std::string h5 = "date_trunc('hour', now()) - interval '5 hours' + interval '10 minutes'";
    const std::string h2 = "date_trunc('hour', now()) - interval '2 hours' + interval '1 minute'";
    const std::string d8 = "now() - interval '8 days'";
    const std::string d20 = "now() - interval '20 days'";
    const std::string d40 = "now() - interval '40 days'";
    ASSERT_EQ(c.execScript(("INSERT INTO siem.events (event_type, raw_data, event_time) VALUES "
                            "(0, 'a', " +
                            h5 + "), (0, 'b', " + h5 + "), (1, 'c', " + h5 + "), (2, 'd', " + h2 +
                            "), (3, 'e', " + h2 + "), (4, 'f', " + h2 + "), (0, 'g', " + d8 +
                            "), (3, 'h', " + d20 + "), (1, 'i', " + d40 + ")")
                               .c_str()),
              Err::None);
    std::string b5 = bucketOf(c, "hour", h5), b2 = bucketOf(c, "hour", h2);
    std::string body;
    EXPECT_EQ(answer(*pdb.db, AnalyticsQuery::event_series, parseRange(std::nullopt), body), 200);
    EXPECT_EQ(body, "{\"buckets\":[{\"t\":" + b5 +
                        ",\"total\":3,\"syslog\":2,\"cef\":1,\"dhcp\":0,\"dns\":0},{\"t\":" + b2 +
                        ",\"total\":3,\"syslog\":0,\"cef\":0,\"dhcp\":1,\"dns\":1}],"
                        "\"range\":\"7 days\",\"bucket\":\"hour\"}");

    // An unlisted range is the default.
    std::string again;
    EXPECT_EQ(answer(*pdb.db, AnalyticsQuery::event_series, parseRange("1y"), again), 200);
    EXPECT_EQ(again, body);

    // No rows in range.
    ASSERT_EQ(c.execScript("DELETE FROM siem.events"), Err::None);
    EXPECT_EQ(answer(*pdb.db, AnalyticsQuery::event_series, parseRange("7d"), body), 200);
    EXPECT_EQ(body, "{\"buckets\":[],\"range\":\"7 days\",\"bucket\":\"hour\"}");
}

TEST(AnalyticsQueries, AlertAndDeviceSeriesCountPerBucket) {
    TARVEX_PERSISTENCE_DB_OR_SKIP(pdb, "an_alerts");
    PgConn& c = pdb.sql();
    const std::string d3 = "now() - interval '3 days'";
    const std::string d60 = "now() - interval '60 days'";
    const std::string d100 = "now() - interval '100 days'";
    ASSERT_EQ(c.execScript(("INSERT INTO siem.alerts (title, severity, created_at) VALUES "
                            "('a', 'critical', " +
                            d3 + "), ('b', 'critical', " + d3 + "), ('c', 'info', " + d3 +
                            "), ('d', 'low', " + d60 + "), ('e', 'high', " + d100 +
                            "); "
                            "INSERT INTO siem.devices (mac, category, first_seen) VALUES "
                            "('aa:00:00:00:00:01', 'unknown', " +
                            d3 +
                            "), "
                            "('aa:00:00:00:00:02', '', " +
                            d3 +
                            "), "
                            "('aa:00:00:00:00:03', NULL, " +
                            d3 +
                            "), "
                            "('aa:00:00:00:00:04', 'iot', " +
                            d60 + ")")
                               .c_str()),
              Err::None);
    std::string day3 = bucketOf(c, "day", d3), day60 = bucketOf(c, "day", d60);
    std::string body;
    EXPECT_EQ(answer(*pdb.db, AnalyticsQuery::alert_series, parseRange("90d"), body), 200);
    EXPECT_EQ(body, "{\"buckets\":[{\"t\":" + day60 +
                        ",\"total\":1,\"critical\":0,\"high\":0,\"medium\":0,\"low\":1,\"info\":0},"
                        "{\"t\":" +
                        day3 +
                        ",\"total\":3,\"critical\":2,\"high\":0,\"medium\":0,\"low\":0,\"info\":1}"
                        "],\"range\":\"90 days\",\"bucket\":\"day\"}");
    EXPECT_EQ(answer(*pdb.db, AnalyticsQuery::device_series, parseRange("30d"), body), 200);
    EXPECT_EQ(body, "{\"buckets\":[{\"t\":" + day3 +
                        ",\"discovered\":3,\"fingerprinted\":1}],\"range\":\"30 days\","
                        "\"bucket\":\"day\"}");
}

TEST(AnalyticsQueries, TopTalkersAreTheTenBusiestSources) {
    TARVEX_PERSISTENCE_DB_OR_SKIP(pdb, "an_talkers");
    // Fifteen sources, source k sending k events; plus events without a
    // source and events older than the range.
    ASSERT_EQ(pdb.sql().execScript(
                  "INSERT INTO siem.events (event_type, source_ip, raw_data) SELECT 0, "
                  "('192.168.1.' || k)::inet, 'x' FROM generate_series(1, 15) k, "
                  "generate_series(1, 15) n WHERE n <= k; "
                  "INSERT INTO siem.events (event_type, source_ip, raw_data) SELECT 0, NULL, 'y' "
                  "FROM generate_series(1, 40); "
                  "INSERT INTO siem.events (event_type, source_ip, raw_data, event_time) SELECT 0, "
                  "'10.0.0.1', 'z', now() - interval '8 days' FROM generate_series(1, 40)"),
              Err::None);
    std::string body;
    EXPECT_EQ(answer(*pdb.db, AnalyticsQuery::top_talkers, parseRange(std::nullopt), body), 200);
    std::string want = "{\"talkers\":[";
    for (int k = 15; k >= 6; --k) {
        if (k != 15) want += ',';
        want +=
            "{\"ip\":\"192.168.1." + std::to_string(k) + "\",\"count\":" + std::to_string(k) + "}";
    }
    want += "]}";
    EXPECT_EQ(body, want);
    // Over 30 days the old source leads.
    EXPECT_EQ(answer(*pdb.db, AnalyticsQuery::top_talkers, parseRange("30d"), body), 200);
    std::string lead = "{\"talkers\":[{\"ip\":\"10.0.0.1\",\"count\":40}";
    EXPECT_EQ(body.substr(0, lead.size()), lead);
}

TEST(AnalyticsQueries, LifetimeStatsTotalEverything) {
    TARVEX_PERSISTENCE_DB_OR_SKIP(pdb, "an_lifetime");
    std::string body;
    EXPECT_EQ(answer(*pdb.db, AnalyticsQuery::lifetime, parseRange(std::nullopt), body), 200);
    EXPECT_EQ(body,
              "{\"total_events\":0,\"total_devices\":0,\"total_alerts\":0,\"syslog_events\":0,"
              "\"cef_events\":0,\"dhcp_events\":0,\"dns_events\":0,\"critical_alerts\":0,"
              "\"high_alerts\":0,\"medium_alerts\":0,\"low_alerts\":0,\"info_alerts\":0,"
              "\"first_event_at\":0,\"last_event_at\":0,\"total_cases\":0,"
              "\"unique_source_ips\":0}");
    ASSERT_EQ(pdb.sql().execScript(
                  "INSERT INTO siem.events (event_type, source_ip, raw_data, event_time) VALUES "
                  "(0, '10.0.0.1', 'a', to_timestamp(1000)), (1, '10.0.0.1', 'b', "
                  "to_timestamp(2000)), (2, '10.0.0.2', 'c', to_timestamp(3000)), "
                  "(3, NULL, 'd', to_timestamp(4000)), (4, '10.0.0.3', 'e', to_timestamp(5000)), "
                  "(3, '10.0.0.3', 'f', to_timestamp(6000)); "
                  "INSERT INTO siem.devices (mac) VALUES ('aa:00:00:00:00:01'), "
                  "('aa:00:00:00:00:02'); "
                  "INSERT INTO siem.alerts (title, severity) VALUES ('a', 'critical'), "
                  "('b', 'high'), ('c', 'high'), ('d', 'medium'), ('e', 'low'), ('f', 'info'), "
                  "('g', 'info'); "
                  "INSERT INTO siem.cases (title) VALUES ('one'), ('two'), ('three')"),
              Err::None);
    EXPECT_EQ(answer(*pdb.db, AnalyticsQuery::lifetime, parseRange(std::nullopt), body), 200);
    EXPECT_EQ(body,
              "{\"total_events\":6,\"total_devices\":2,\"total_alerts\":7,\"syslog_events\":1,"
              "\"cef_events\":1,\"dhcp_events\":1,\"dns_events\":2,\"critical_alerts\":1,"
              "\"high_alerts\":2,\"medium_alerts\":1,\"low_alerts\":1,\"info_alerts\":2,"
              "\"first_event_at\":1000,\"last_event_at\":6000,\"total_cases\":3,"
              "\"unique_source_ips\":3}");
}

TEST(AnalyticsQueries, FailedQueriesAnswerQueryFailedAndLogIt) {
    TARVEX_PERSISTENCE_DB_OR_SKIP(pdb, "an_fail");
    ASSERT_EQ(pdb.sql().execScript("DROP SCHEMA siem CASCADE"), Err::None);
    Persistence& db = *pdb.db;
    RangeParams r = parseRange(std::nullopt);
    struct Case {
        std::function<u16(std::string&)> run;
        const char* line;
    };
    const Case cases[] = {
        {[&](std::string& b) { return answer(db, AnalyticsQuery::event_series, r, b); },
         "warning(analytics): event time series query failed: QueryFailed"},
        {[&](std::string& b) { return answer(db, AnalyticsQuery::alert_series, r, b); },
         "warning(analytics): alert time series query failed: QueryFailed"},
        {[&](std::string& b) { return answer(db, AnalyticsQuery::device_series, r, b); },
         "warning(analytics): device time series query failed: QueryFailed"},
        {[&](std::string& b) { return answer(db, AnalyticsQuery::top_talkers, r, b); },
         "warning(analytics): top talkers query failed: QueryFailed"},
        {[&](std::string& b) { return answer(db, AnalyticsQuery::lifetime, r, b); },
         "warning(lifetime_stats): lifetime stats query failed: QueryFailed"},
    };
    for (const Case& c : cases) {
        test::LogCapture log;
        std::string body = "stale";
        EXPECT_EQ(c.run(body), 500) << c.line;
        EXPECT_EQ(body, "{\"error\":\"query failed\"}") << c.line;
        EXPECT_EQ(log.lines(), std::vector<std::string>{c.line});
    }
}

}  // namespace
}  // namespace tarvex
