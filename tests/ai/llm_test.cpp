// LLM settings: provider names and addresses, the provider table and
// start-up configuration, whose log lines never carry the API key.
#include "ai/llm.h"

#include <gtest/gtest.h>

#include <string>

#include "config.h"
#include "support/log_capture.h"

namespace tarvex {
namespace {

using test::LogCapture;

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

TEST(LlmSettings, StartupConfiguration) {
    struct Row {
        std::string_view provider, base_url;
        LlmProvider want;
        std::string_view want_url;
        const char* rule;
    };
    const Row rows[] = {
        {"ollama", "", LlmProvider::ollama, "http://localhost:11434", "local default address"},
        {"groq", "", LlmProvider::groq, "https://api.groq.com/openai/v1", "hosted default"},
        {"openai", "https://proxy.example/v1", LlmProvider::openai, "https://proxy.example/v1",
         "configured address wins"},
        {"OpenAI", "", LlmProvider::custom, "", "other letter case is custom, no address"},
    };
    for (const auto& r : rows) {
        LlmManager llm;
        LogCapture log;
        configureLlmFromConfig(llm, llmConfig(r.provider, r.base_url));
        const LlmConfig* c = llm.getActiveConfig();
        ASSERT_NE(c, nullptr) << r.rule;
        EXPECT_EQ(llm.config_count, 1u);
        EXPECT_EQ(c->provider, r.want) << r.rule;
        EXPECT_EQ(c->getBaseUrl(), r.want_url) << r.rule;
        EXPECT_EQ(c->getModel(), "llama3");
        EXPECT_EQ(c->max_tokens, 1024u);
        EXPECT_FLOAT_EQ(c->temperature, 0.1f);
        EXPECT_TRUE(c->enabled && c->active);
        std::string name(llmProviderName(r.want));
        EXPECT_TRUE(log.has("info(llm): addProvider: added " + name + " at index 0"));
        EXPECT_TRUE(log.has("info(llm): setActiveProvider: " + name + " (index 0)"));
        EXPECT_TRUE(log.has("info(main): LLM provider configured: " + std::string(r.provider)))
            << "the name as configured";
        for (const auto& line : log.lines())
            EXPECT_EQ(line.find(kSecret), std::string::npos) << "key in a log line: " << line;
    }

    LlmManager none;
    LogCapture log;
    configureLlmFromConfig(none, llmConfig(""));
    EXPECT_EQ(none.config_count, 0u) << "no provider name, no config";
    EXPECT_TRUE(log.lines().empty());
}

TEST(LlmSettings, ProviderTableLimitsAndActivation) {
    LlmManager llm;
    LogCapture log;
    LlmConfig on;
    on.enabled = true;
    LlmConfig off;
    ASSERT_EQ(llm.addProvider(on).value, 0u);
    ASSERT_EQ(llm.addProvider(off).value, 1u);
    EXPECT_FALSE(llm.setActiveProvider(5));
    EXPECT_TRUE(log.has("warning(llm): setActiveProvider: index 5 out of range (count=2)"));
    EXPECT_FALSE(llm.setActiveProvider(1));
    EXPECT_TRUE(log.has("warning(llm): setActiveProvider: config at index 1 is not enabled"));
    EXPECT_FALSE(llm.isConfigured()) << "refused activations change nothing";

    ASSERT_TRUE(llm.setActiveProvider(0));
    ASSERT_EQ(llm.addProvider(on).value, 2u);
    ASSERT_TRUE(llm.setActiveProvider(2));
    EXPECT_FALSE(llm.configs[0].active) << "only one config is active";
    EXPECT_EQ(llm.getActiveConfig(), &llm.configs[2]);

    while (llm.config_count < kMaxLlmConfigs) ASSERT_TRUE(llm.addProvider(on).ok());
    EXPECT_EQ(llm.addProvider(on).err, Err::TableFull);
    EXPECT_TRUE(log.has("warning(llm): addProvider: config table full (8)"));

    LlmManager full;
    while (full.config_count < kMaxLlmConfigs) full.addProvider(on);
    configureLlmFromConfig(full, llmConfig("groq"));
    EXPECT_TRUE(log.has("warning(main): failed to configure LLM provider: TableFull"));
    EXPECT_FALSE(log.hasSubstring("LLM provider configured"));
}

}  // namespace
}  // namespace tarvex
