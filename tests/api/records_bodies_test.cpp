// The record endpoints' bodies written from store records: the import
// acknowledgements, the rule, indicator and action lists and the settings
// bodies, which never carry the API key.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "api/records.h"
#include "config.h"
#include "support/json_text.h"
#include "support/log_capture.h"
#include "support/mapped_table.h"

namespace tarvex {
namespace {

using test::LogCapture;
using test::writtenJson;

const auto kAbsent = std::nullopt;
constexpr std::string_view kSecret = "sk-THIS-IS-SECRET-0123456789";

Config llmConfig(std::string_view provider, std::string_view base_url = "",
                 std::string_view key = kSecret, std::string_view model = "llama3") {
    Config c;
    copyBounded(c.llm_provider, c.llm_provider_len, provider);
    copyBounded(c.llm_base_url, c.llm_base_url_len, base_url);
    copyBounded(c.llm_api_key, c.llm_api_key_len, key);
    copyBounded(c.llm_model, c.llm_model_len, model);
    return c;
}

std::string settingsBody(const Config& cfg, const LlmManager& llm) {
    return writtenJson([&](JsonWriter& j) { writeSettingsBody(j, cfg, llm); });
}

std::string llmBody(const LlmManager& llm) {
    return writtenJson([&](JsonWriter& j) { writeLlmSettingsBody(j, llm); });
}

TEST(RuleImport, IsAcknowledgedAndLoggedButNotStored) {
    LogCapture log;
    FixedReply r = acknowledgeRuleImport(1234);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"status\":\"accepted\",\"message\":\"rule import queued\"}");
    EXPECT_TRUE(log.has("info(routes): rule import request received (1234 bytes)"));
}

TEST(IndicatorImport, BulkReplyKeepsTheAcceptedKeysThenCounts) {
    LogCapture log;
    FixedReply r = acknowledgeBulkIndicatorImport(42);
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(log.has("info(routes): bulk indicator import request received (42 bytes)"));

    Indicator items[4];
    FeedResult feed =
        parseIndicatorFeed("203.0.113.9\nnot a value\n\"quoted\"\n", FeedDefaults{}, items, 4);
    ImportCounts counts{1, 2, 3};
    std::string body = writtenJson([&](JsonWriter& j) { writeBulkImportBody(j, counts, feed); });
    EXPECT_EQ(body,
              "{\"status\":\"accepted\",\"message\":\"bulk import queued\",\"imported\":1,"
              "\"duplicate\":2,\"rejected\":5,\"rejected_lines\":[{\"line\":2,\"text\":\"not a "
              "value\",\"reason\":\"more than one value on the line\"},{\"line\":3,\"text\":"
              "\"\\\"quoted\\\"\",\"reason\":\"not an address, network, domain, URL, hash or "
              "e-mail address\"}]}")
        << "the parser's rejected lines and the store's refusals add up";
}

TEST(RuleBodies, ListPage) {
    test::MappedTable<RuleEngine> re;
    ASSERT_TRUE(re.ok());
    for (u32 slot : {3u, 10u, 500u, 1023u}) {
        re->rules[slot].active = true;
        copyBounded(re->rules[slot].id, re->rules[slot].id_len, std::to_string(slot));
    }
    SigmaRule& r = re->rules[3];
    copyBounded(r.title, r.title_len, "Port \"scan\"");
    copyBounded(r.logsource_category, r.logsource_category_len, "firewall");
    r.level = SigmaLevel::high;
    r.status = SigmaStatus::stable;
    SigmaRule out[1];
    RulePage page = re->listRules(0, 1, out, 1);
    std::string body = writtenJson([&](JsonWriter& j) { writeRuleListBody(j, out, page, 1, 0); });
    EXPECT_EQ(body,
              "{\"rules\":[{\"id\":\"3\",\"title\":\"Port \\\"scan\\\"\",\"level\":\"high\","
              "\"status\":\"stable\",\"enabled\":true,\"logsource_category\":\"firewall\"}],"
              "\"total\":4,\"limit\":1,\"offset\":0}");
}

TEST(IndicatorBodies, ListPage) {
    test::MappedTable<IndicatorStore> store;
    ASSERT_TRUE(store.ok());
    LogCapture log;
    for (const char* v : {"a", "b", "c"})
        ASSERT_TRUE(store->addIndicator(buildIndicator(v, "domain", "high", kAbsent)));
    Indicator out[2];
    ASSERT_EQ(store->listIndicators(1, 50, out, 2).count, 2u);
    out[0].created_at = 1700000000;
    out[0].hits = 12;
    out[0].last_hit = 1700000100;
    std::string body = writtenJson([&](JsonWriter& j) {
        writeIndicatorListBody(j, out, {3, 1}, 1, 1);
    });
    EXPECT_EQ(body,
              "{\"indicators\":[{\"type\":\"domain\",\"value\":\"b\",\"source\":\"manual\","
              "\"severity\":\"high\",\"expiry\":0,\"created_at\":1700000000,\"hits\":12,"
              "\"last_hit\":1700000100}],\"total\":3,\"limit\":1,\"offset\":1}");
}

TEST(ActionBodies, ListsActiveSlotsInSlotOrder) {
    test::MappedTable<ActionManager> am;
    ASSERT_TRUE(am.ok());
    EXPECT_EQ(writtenJson([&](JsonWriter& j) { writeActionsBody(j, *am); }),
              "{\"actions\":[],\"total\":0}");

    // Nothing in the daemon fills the table; the layout is what is listed.
    for (u32 slot : {7u, 2u}) {
        ResponseAction& a = am->actions[slot];
        a.active = true;
        a.id = slot + 100;
        copyBounded(a.name, a.name_len, slot == 2 ? "page \"ops\"" : "hook");
        copyBounded(a.url, a.url_len, "https://h/x");
        a.action_type = slot == 2 ? ActionType::slack : ActionType::generic_http;
        a.enabled = slot == 7;
        a.trigger_count = slot;
        a.last_triggered = slot == 2 ? -5 : 0;
    }
    am->action_count = 2;
    EXPECT_EQ(writtenJson([&](JsonWriter& j) { writeActionsBody(j, *am); }),
              "{\"actions\":[{\"id\":102,\"name\":\"page \\\"ops\\\"\",\"type\":\"slack\","
              "\"url\":\"https://h/x\",\"enabled\":false,\"trigger_count\":2,"
              "\"last_triggered\":-5},{\"id\":107,\"name\":\"hook\",\"type\":\"generic_http\","
              "\"url\":\"https://h/x\",\"enabled\":true,\"trigger_count\":7,"
              "\"last_triggered\":0}],\"total\":2}");
}

TEST(LlmSettings, BodiesWithoutProvider) {
    LlmManager llm;
    EXPECT_EQ(
        settingsBody(Config{}, llm),
        "{\"system\":{\"syslog_port\":514,\"max_devices\":200,\"log_retention_days\":30,"
        "\"environment\":\"development\"},\"llm\":{\"configured\":false,\"provider\":\"\","
        "\"base_url\":\"\",\"model\":\"\",\"max_tokens\":1024,\"temperature\":0.10},"
        "\"integrations\":{\"shuffle_url\":\"\",\"shuffle_workflow_id\":\"\","
        "\"shuffle_enabled\":false,\"thehive_url\":\"\",\"thehive_org\":\"\","
        "\"thehive_enabled\":false},\"notifications\":{\"configured\":false,\"format\":\"json\","
        "\"min_severity\":\"high\",\"new_devices\":false,\"target\":\"\",\"link_base\":\"\"}}");
    EXPECT_EQ(llmBody(llm), "{\"configured\":false,\"provider_count\":0,\"providers\":[]}");
}

TEST(LlmSettings, BodiesWithProviderNeverShowTheKey) {
    LlmManager llm;
    LogCapture log;
    Config cfg = llmConfig("ollama");
    cfg.env = Environment::production;
    cfg.syslog_port = 5514;
    cfg.max_devices = 10;
    cfg.log_retention_days = 7;
    configureLlmFromConfig(llm, cfg);

    std::string settings = settingsBody(cfg, llm);
    EXPECT_EQ(settings,
              "{\"system\":{\"syslog_port\":5514,\"max_devices\":10,\"log_retention_days\":7,"
              "\"environment\":\"production\"},\"llm\":{\"configured\":true,\"provider\":"
              "\"ollama\",\"base_url\":\"http://localhost:11434\",\"model\":\"llama3\","
              "\"max_tokens\":1024,\"temperature\":0.10},\"integrations\":{\"shuffle_url\":\"\","
              "\"shuffle_workflow_id\":\"\",\"shuffle_enabled\":false,\"thehive_url\":\"\","
              "\"thehive_org\":\"\",\"thehive_enabled\":false},\"notifications\":{\"configured\":"
              "false,\"format\":\"json\",\"min_severity\":\"high\",\"new_devices\":false,"
              "\"target\":\"\",\"link_base\":\"\"}}");
    std::string providers = llmBody(llm);
    EXPECT_EQ(providers,
              "{\"configured\":true,\"provider_count\":1,\"providers\":[{\"provider\":\"ollama\","
              "\"model\":\"llama3\",\"base_url\":\"http://localhost:11434\",\"enabled\":true,"
              "\"active\":true,\"has_api_key\":true}]}");
    EXPECT_EQ(settings.find(kSecret), std::string::npos);
    EXPECT_EQ(providers.find(kSecret), std::string::npos);

    LlmManager keyless;
    configureLlmFromConfig(keyless, llmConfig("ollama", "", ""));
    EXPECT_NE(llmBody(keyless).find("\"has_api_key\":false"), std::string::npos);

    // Configured texts that need escaping or repair still give valid JSON.
    LlmManager odd;
    configureLlmFromConfig(odd, llmConfig("x", "http://h/\"q\"\\\n", kSecret, "m\xFF\x01"));
    auto j = nlohmann::json::parse(llmBody(odd));
    EXPECT_EQ(j["providers"][0]["base_url"], "http://h/\"q\"\\\n");
    EXPECT_EQ(j["providers"][0]["model"], "m\xEF\xBF\xBD") << "bad byte replaced, 0x01 dropped";
    EXPECT_FALSE(nlohmann::json::parse(settingsBody(cfg, odd), nullptr, false).is_discarded());
}

}  // namespace
}  // namespace tarvex
