// End-to-end: rules, indicators, response actions, settings, analytics and
// the route table of the real daemon.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "ai/llm.h"
#include "api/routes.h"
#include "http/router.h"
#include "support/api_daemon.h"

namespace tarvex::test {
namespace {

using nlohmann::json;

TEST(E2eRecords, RuleTableStaysEmptyAcrossImports) {
    ApiDaemon api;
    ASSERT_TRUE(api.ready());
    RawConn c(api.port);
    const std::string empty = "{\"rules\":[],\"total\":0,\"limit\":50,\"offset\":0}";
    EXPECT_EQ(call(c, "GET", "/api/rules").body, empty);
    HttpReply r = call(c, "POST", "/api/rules/import", "title: scan\ndetection: {}\n");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"status\":\"accepted\",\"message\":\"rule import queued\"}");
    EXPECT_TRUE(api.logged("info(routes): rule import request received (26 bytes)"));
    r = call(c, "POST", "/api/rules/import");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, "{\"error\":\"missing request body\"}");
    EXPECT_EQ(call(c, "GET", "/api/rules").body, empty) << "an import stores nothing";
    EXPECT_EQ(call(c, "GET", "/api/rules?limit=9999&offset=3").body,
              "{\"rules\":[],\"total\":0,\"limit\":500,\"offset\":3}");
    EXPECT_EQ(call(c, "GET", "/api/rules?x=%g1").status, 400);
    EXPECT_EQ(call(c, "GET", "/api/response-actions").body, "{\"actions\":[],\"total\":0}");
}

TEST(E2eRecords, IndicatorDefaultsAndTextRules) {
    ApiDaemon api;
    ASSERT_TRUE(api.ready());
    RawConn c(api.port);
    const struct {
        std::string body;
        const char* type;
        const char* severity;
        const char* source;
        const char* rule;
    } adds[] = {
        {"{\"value\":\"10.0.0.1\"}", "ip", "medium", "manual", "value only: ip, medium, manual"},
        {"{\"value\":\"a\",\"type\":\"IPv4\",\"severity\":\"urgent\"}", "ip", "info", "manual",
         "unknown type is ip, unknown severity is info"},
        {"{\"value\":\"evil.example\",\"type\":\"domain\",\"severity\":\"high\","
         "\"source\":\"feed\"}",
         "domain", "high", "feed", "named type, severity and source"},
        {"{\"value\":\"b\",\"type\":\"Domain\",\"severity\":\"\"}", "ip", "info", "manual",
         "type is case-sensitive; empty severity is info"},
        {"{\"value\":\"\",\"type\":\"hash_sha256\",\"severity\":\"critical\"}", "hash_sha256",
         "critical", "manual", "an empty value is accepted"},
        {"{\"value\":\"c\",\"type\":\"cidr\",\"severity\":\"low\",\"source\":\"" +
             std::string(80, 's') + "\"}",
         "cidr", "low", nullptr, "source cut to 64 bytes"},
    };
    for (const auto& a : adds) {
        HttpReply r = call(c, "POST", "/api/indicators", a.body);
        EXPECT_EQ(r.status, 200) << a.rule;
        EXPECT_EQ(r.body, "{\"status\":\"created\"}") << a.rule;
    }
    EXPECT_TRUE(api.logged(
        "info(indicators): indicator added: type=domain value=\"evil.example\" source=\"feed\""));
    json list = json::parse(call(c, "GET", "/api/indicators").body);
    ASSERT_EQ(list["indicators"].size(), std::size(adds));
    EXPECT_EQ(list["total"], std::size(adds));
    for (size_t i = 0; i < std::size(adds); ++i) {
        const json& got = list["indicators"][i];
        EXPECT_EQ(got["type"], adds[i].type) << adds[i].rule;
        EXPECT_EQ(got["severity"], adds[i].severity) << adds[i].rule;
        EXPECT_EQ(got["source"], adds[i].source ? adds[i].source : std::string(64, 's'))
            << adds[i].rule;
        EXPECT_EQ(got["expiry"], 0) << adds[i].rule;
        EXPECT_GT(got["created_at"].get<long long>(), 0) << adds[i].rule;
    }
    EXPECT_EQ(list["indicators"][0]["value"], "10.0.0.1") << "listed in insertion order";
    EXPECT_EQ(list["indicators"][2]["value"], "evil.example");
    std::string first = call(c, "GET", "/api/indicators?limit=1").body;
    EXPECT_EQ(first.substr(0, 31), "{\"indicators\":[{\"type\":\"ip\",\"va") << first;
    EXPECT_EQ(first.substr(first.find("],\"total\"")), "],\"total\":6,\"limit\":1,\"offset\":0}");

    const struct {
        std::optional<std::string> body;
        std::string reply;
        const char* rule;
    } refusals[] = {
        {std::nullopt, "{\"error\":\"missing request body\"}", "no body"},
        {"{\"type\":\"ip\"}", "{\"error\":\"missing value field\"}", "value absent"},
        {"{\"value\":7}", "{\"error\":\"missing value field\"}", "a number is not a value"},
    };
    for (const auto& f : refusals) {
        HttpReply r = call(c, "POST", "/api/indicators",
                           f.body ? std::optional<std::string_view>(*f.body) : std::nullopt);
        EXPECT_EQ(r.status, 400) << f.rule;
        EXPECT_EQ(r.body, f.reply) << f.rule;
    }
    HttpReply bulk = call(c, "POST", "/api/indicators/bulk", "1.2.3.4\n5.6.7.8\n");
    EXPECT_EQ(bulk.status, 200);
    EXPECT_EQ(bulk.body,
              "{\"status\":\"accepted\",\"message\":\"bulk import queued\",\"imported\":2,"
              "\"duplicate\":0,\"rejected\":0,\"rejected_lines\":[]}");
    EXPECT_TRUE(api.logged("info(routes): bulk indicator import request received (16 bytes)"));
    EXPECT_EQ(call(c, "POST", "/api/indicators/bulk").status, 400);
    EXPECT_NE(call(c, "GET", "/api/indicators").body.find("\"total\":8,"), std::string::npos)
        << "a bulk import stores what it names";
}

TEST(E2eRecords, IndicatorStoreFullAnswers503) {
    ApiDaemon api;
    ASSERT_TRUE(api.ready());
    constexpr int kThreads = 8;
    constexpr int kEach = 16384 / kThreads;
    std::vector<int> added(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            RawConn c(api.port);
            for (int i = 0; i < kEach; ++i)
                if (call(c, "POST", "/api/indicators", "{\"value\":\"x\"}").status == 200)
                    ++added[static_cast<size_t>(t)];
        });
    }
    for (auto& th : threads) th.join();
    int total = 0;
    for (int n : added) total += n;
    ASSERT_EQ(total, 16384);
    RawConn c(api.port);
    HttpReply r = call(c, "POST", "/api/indicators", "{\"value\":\"16385th\"}");
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(r.body, "{\"error\":\"indicator store full\"}");
    EXPECT_TRUE(api.logged(
        "error(indicators): indicator store full (16384 entries), cannot add indicator"));
    r = call(c, "GET", "/api/indicators?offset=16383");
    json last = json::parse(r.body);
    EXPECT_EQ(last["total"], 16384);
    ASSERT_EQ(last["indicators"].size(), 1u);
    EXPECT_EQ(last["indicators"][0]["value"], "x");
}

constexpr std::string_view kIntegrationsPart =
    ",\"integrations\":{\"shuffle_url\":\"\",\"shuffle_workflow_id\":\"\",\"shuffle_enabled\":"
    "false,\"thehive_url\":\"\",\"thehive_org\":\"\",\"thehive_enabled\":false}";

// The end of the settings body without notifications, for a daemon whose
// dashboard is at 127.0.0.1:`port`.
std::string integrationsEnd(int port) {
    return std::string(kIntegrationsPart) +
           ",\"notifications\":{\"configured\":false,\"format\":\"json\",\"min_severity\":"
           "\"high\",\"new_devices\":false,\"target\":\"\",\"link_base\":\"http://127.0.0.1:" +
           std::to_string(port) + "\"}}";
}

TEST(E2eRecords, SettingsWithoutLlmProvider) {
    ApiDaemon api({{"APP_ENV", "Production"}, {"MAX_DEVICES", "300"}});
    ASSERT_TRUE(api.ready());
    RawConn c(api.port);
    HttpReply r = call(c, "GET", "/api/settings");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"system\":{\"syslog_port\":" + std::to_string(api.udp) +
                          ",\"max_devices\":300,\"log_retention_days\":30,\"environment\":"
                          "\"development\"},\"llm\":{\"configured\":false,\"provider\":\"\","
                          "\"base_url\":\"\",\"model\":\"\",\"max_tokens\":1024,\"temperature\":"
                          "0.10}" +
                          integrationsEnd(api.port))
        << "only the exact text production selects production";
    EXPECT_EQ(call(c, "GET", "/api/settings/llm").body,
              "{\"configured\":false,\"provider_count\":0,\"providers\":[]}");
}

TEST(E2eRecords, SettingsWithLlmProviderNeverShowTheKey) {
    const std::string key = "sk-very-secret-0123";
    const struct {
        std::map<std::string, std::string> env;
        std::string provider;
        std::string base_url;
        bool has_key;
        const char* rule;
    } rows[] = {
        {{{"LLM_PROVIDER", "ollama"}, {"LLM_MODEL", "llama3"}, {"APP_ENV", "production"}},
         "ollama",
         std::string(defaultBaseUrl(LlmProvider::ollama)),
         false,
         "ollama without base URL gets the local endpoint"},
        {{{"LLM_PROVIDER", "OpenAI"}, {"LLM_MODEL", "llama3"}, {"LLM_API_KEY", key}},
         "custom",
         "",
         true,
         "other letter case is custom, with no default base URL"},
        {{{"LLM_PROVIDER", "groq"},
          {"LLM_MODEL", "llama3"},
          {"LLM_API_KEY", key},
          {"LLM_BASE_URL", "http://10.0.0.9:8080/v1"}},
         "groq",
         "http://10.0.0.9:8080/v1",
         true,
         "a configured base URL wins"},
    };
    for (const auto& row : rows) {
        ApiDaemon api(row.env);
        ASSERT_TRUE(api.ready()) << row.rule;
        RawConn c(api.port);
        std::string settings = call(c, "GET", "/api/settings").body;
        std::string environment = row.env.count("APP_ENV") ? "production" : "development";
        EXPECT_EQ(settings,
                  "{\"system\":{\"syslog_port\":" + std::to_string(api.udp) +
                      ",\"max_devices\":200,\"log_retention_days\":30,\"environment\":\"" +
                      environment + "\"},\"llm\":{\"configured\":true,\"provider\":\"" +
                      row.provider + "\",\"base_url\":\"" + row.base_url +
                      "\",\"model\":\"llama3\",\"max_tokens\":1024,\"temperature\":0.10}" +
                      integrationsEnd(api.port))
            << row.rule;
        std::string llm = call(c, "GET", "/api/settings/llm").body;
        EXPECT_EQ(llm, "{\"configured\":true,\"provider_count\":1,\"providers\":[{\"provider\":\"" +
                           row.provider + "\",\"model\":\"llama3\",\"base_url\":\"" + row.base_url +
                           "\",\"enabled\":true,\"active\":true,\"has_api_key\":" +
                           (row.has_key ? "true" : "false") + "}]}")
            << row.rule;
        EXPECT_FALSE(api.loggedAnywhere(key)) << row.rule << ": the key is never logged";
    }
}

TEST(E2eRecords, AnalyticsWithoutDatabase) {
    ApiDaemon api;
    ASSERT_TRUE(api.ready());
    RawConn c(api.port);
    const std::string series = "{\"buckets\":[],\"error\":\"database not configured\"}";
    const struct {
        std::string target;
        int status;
        std::string body;
        const char* rule;
    } rows[] = {
        {"/api/analytics/events", 200, series, "event series"},
        {"/api/analytics/events?range=30d", 200, series, "event series, 30 days"},
        {"/api/analytics/alerts?range=1y", 200, series, "alert series, unlisted range"},
        {"/api/analytics/devices?range=90d", 200, series, "device series"},
        {"/api/analytics/top-talkers", 200, "{\"talkers\":[]}", "top talkers"},
        {"/api/stats/lifetime", 200, "{\"error\":\"database not configured\"}", "lifetime"},
        {"/api/analytics/events?range=%", 400, "{\"error\":\"bad query string\"}",
         "unparsable query on a series"},
        {"/api/analytics/top-talkers?=7d", 400, "{\"error\":\"bad query string\"}",
         "unparsable query on top talkers"},
    };
    for (const auto& row : rows) {
        HttpReply r = call(c, "GET", row.target);
        EXPECT_EQ(r.status, row.status) << row.rule;
        EXPECT_EQ(r.body, row.body) << row.rule;
        EXPECT_NE(r.head.find("application/json"), std::string::npos) << row.rule;
    }
}

TEST(E2eRecords, LogsTheNumberOfRegisteredRoutes) {
    Router table;
    size_t expected = registerRoutes(table);
    ASSERT_GE(expected, 21u) << "health, the live feed and the 19 record routes at least";
    ApiDaemon api;
    ASSERT_TRUE(api.ready());
    EXPECT_TRUE(api.logged("info(routes): registered " + std::to_string(expected) + " API routes"));
}

}  // namespace
}  // namespace tarvex::test
