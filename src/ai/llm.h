// llm.h: the LLM provider settings table.
//
// LlmManager holds up to 8 provider configurations for the analyst
// assistant and which one is active. Start-up fills it once from the LLM
// settings of Config; the settings endpoints report it. No request is ever
// sent to a provider, and the API key never leaves this table: no response
// body or log line contains it.
//
// Thread-safety: written only by start-up before the HTTP server starts;
// read-only afterwards, from any number of threads.
#pragma once

#include <optional>
#include <string_view>

#include "common/error.h"
#include "common/text.h"
#include "common/types.h"

namespace tarvex {

struct Config;

constexpr u32 kMaxLlmConfigs = 8;
constexpr u32 kDefaultLlmMaxTokens = 1024;
constexpr f32 kDefaultLlmTemperature = 0.1f;

enum class LlmProvider : u8 {
    openai = 0,
    anthropic = 1,
    ollama = 2,
    openrouter = 3,
    groq = 4,
    custom = 5
};

// "openai" ... "custom"; "custom" outside the enumeration.
std::string_view llmProviderName(LlmProvider p);
// "openai", "anthropic", "ollama", "openrouter" or "groq" (exact bytes) give
// that provider; any other text gives custom.
LlmProvider parseLlmProvider(std::string_view text);
// The provider's API base address: the public endpoint for the hosted
// providers, the local server on port 11434 for ollama, empty for custom.
std::string_view defaultBaseUrl(LlmProvider p);

struct LlmConfig {
    u32 max_tokens = kDefaultLlmMaxTokens;
    f32 temperature = kDefaultLlmTemperature;
    u16 api_key_len = 0;  // 0 = no key
    u16 base_url_len = 0;
    LlmProvider provider = LlmProvider::openai;
    char api_key[256] = {};  // secret: never written to a response or a log line
    char base_url[256] = {};
    char model[64] = {};
    u8 model_len = 0;
    bool enabled = false;
    bool active = false;  // this is the active provider

    std::string_view getBaseUrl() const { return view(base_url, base_url_len); }
    std::string_view getModel() const { return view(model, model_len); }
    bool hasApiKey() const { return api_key_len != 0; }
};

struct LlmManager {
    LlmConfig configs[kMaxLlmConfigs];
    u8 config_count = 0;
    std::optional<u8> active_provider;

    // Resets to the start-up state: every slot max_tokens 1024 and
    // temperature 0.1, no configs, no active provider.
    void initInPlace();

    // Stores `config` in slot config_count and logs it. Returns the slot
    // index, or TableFull (logged) when 8 configs are stored already.
    Result<u8> addProvider(const LlmConfig& config);

    // Makes the enabled config at `index` the only active one. An index out
    // of range or a disabled config is logged and changes nothing; returns
    // whether the change was made.
    bool setActiveProvider(u32 index);

    // The active config, or nullptr.
    const LlmConfig* getActiveConfig() const;

    // True when a provider is active.
    bool isConfigured() const { return active_provider.has_value() && config_count != 0; }
};

// Start-up's LLM step: with a configured provider name, adds one enabled
// config built from `cfg` (base URL defaulting to the provider's), makes it
// active and logs the outcome under "main". Does nothing without a name.
void configureLlmFromConfig(LlmManager& llm, const Config& cfg);

}  // namespace tarvex
