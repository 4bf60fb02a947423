// llm.cpp: the provider table and its start-up configuration.
#include "ai/llm.h"

#include "common/log.h"
#include "config.h"

namespace tarvex {

namespace {

constexpr std::string_view kProviderNames[] = {"openai",     "anthropic", "ollama",
                                               "openrouter", "groq",      "custom"};

}  // namespace

std::string_view llmProviderName(LlmProvider p) {
    auto i = static_cast<size_t>(p);
    return i < std::size(kProviderNames) ? kProviderNames[i] : kProviderNames[5];
}

LlmProvider parseLlmProvider(std::string_view text) {
    for (size_t i = 0; i < 5; ++i)
        if (text == kProviderNames[i]) return static_cast<LlmProvider>(i);
    return LlmProvider::custom;
}

std::string_view defaultBaseUrl(LlmProvider p) {
    switch (p) {
        case LlmProvider::openai:
            return "https://api.openai.com/v1";
        case LlmProvider::anthropic:
            return "https://api.anthropic.com/v1";
        case LlmProvider::ollama:
            return "http://localhost:11434";
        case LlmProvider::openrouter:
            return "https://openrouter.ai/api/v1";
        case LlmProvider::groq:
            return "https://api.groq.com/openai/v1";
        case LlmProvider::custom:
            break;
    }
    return {};
}

void LlmManager::initInPlace() {
    for (auto& c : configs) c = LlmConfig{};
    config_count = 0;
    active_provider.reset();
}

Result<u8> LlmManager::addProvider(const LlmConfig& config) {
    if (config_count >= kMaxLlmConfigs) {
        logWarn("llm", "addProvider: config table full ({})", kMaxLlmConfigs);
        return Err::TableFull;
    }
    u8 index = config_count;
    configs[index] = config;
    ++config_count;
    logInfo("llm", "addProvider: added {} at index {}", llmProviderName(config.provider), index);
    return index;
}

bool LlmManager::setActiveProvider(u32 index) {
    if (index >= config_count) {
        logWarn("llm", "setActiveProvider: index {} out of range (count={})", index, config_count);
        return false;
    }
    LlmConfig& c = configs[index];
    if (!c.enabled) {
        logWarn("llm", "setActiveProvider: config at index {} is not enabled", index);
        return false;
    }
    if (active_provider && *active_provider < kMaxLlmConfigs)
        configs[*active_provider].active = false;
    c.active = true;
    active_provider = static_cast<u8>(index);
    logInfo("llm", "setActiveProvider: {} (index {})", llmProviderName(c.provider), index);
    return true;
}

const LlmConfig* LlmManager::getActiveConfig() const {
    if (!active_provider || *active_provider >= config_count) return nullptr;
    return &configs[*active_provider];
}

void configureLlmFromConfig(LlmManager& llm, const Config& cfg) {
    std::string_view name = cfg.getLlmProvider();
    if (name.empty()) return;
    LlmConfig c;
    c.provider = parseLlmProvider(name);
    copyBounded(c.api_key, c.api_key_len, cfg.getLlmApiKey());
    std::string_view base = cfg.getLlmBaseUrl();
    copyBounded(c.base_url, c.base_url_len, base.empty() ? defaultBaseUrl(c.provider) : base);
    copyBounded(c.model, c.model_len, cfg.getLlmModel());
    c.enabled = true;
    Result<u8> added = llm.addProvider(c);
    if (!added) {
        logWarn("main", "failed to configure LLM provider: {}", added.err);
        return;
    }
    llm.setActiveProvider(added.value);
    logInfo("main", "LLM provider configured: {}", name);
}

}  // namespace tarvex
