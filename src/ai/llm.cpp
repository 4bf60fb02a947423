// llm.cpp: the provider table, start-up configuration and settings bodies.
#include "ai/llm.h"

#include <cmath>
#include <cstdio>

#include "api/json.h"
#include "common/log.h"
#include "config.h"

namespace tarvex {

namespace {

constexpr std::string_view kProviderNames[] = {"openai",     "anthropic", "ollama",
                                               "openrouter", "groq",      "custom"};

constexpr std::string_view kLlmUnconfiguredTail =
    ",\"base_url\":\"\",\"model\":\"\",\"max_tokens\":1024,\"temperature\":0.10";
constexpr std::string_view kShuffleSettings =
    "\"shuffle_url\":\"\",\"shuffle_workflow_id\":\"\",\"shuffle_enabled\":false";
constexpr std::string_view kTheHiveSettings =
    ",\"thehive_url\":\"\",\"thehive_org\":\"\",\"thehive_enabled\":false";

// A float with exactly two digits after the point (0.1 is 0.10).
void appendFixed2(TextBuf& out, f32 v) {
    if (!std::isfinite(v)) v = 0.0f;  // JSON has no NaN or infinity
    char tmp[64];
    int n = std::snprintf(tmp, sizeof tmp, "%.2f", static_cast<double>(v));
    if (n > 0) out.append(std::string_view(tmp, static_cast<size_t>(n)));
}

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

void writeSettingsBody(TextBuf& out, const Config& cfg, const LlmManager& llm) {
    formatInto(out,
               "{\"system\":{\"syslog_port\":{},\"max_devices\":{},\"log_retention_days\":{},"
               "\"environment\":",
               cfg.syslog_port, cfg.max_devices, cfg.log_retention_days);
    appendJsonStr(out, environmentName(cfg.env));
    out.append("},\"llm\":{\"configured\":");
    appendJsonBool(out, llm.isConfigured());
    out.append(",\"provider\":");
    if (const LlmConfig* active = llm.getActiveConfig()) {
        appendJsonStr(out, llmProviderName(active->provider));
        out.append(",\"base_url\":");
        appendJsonStr(out, active->getBaseUrl());
        out.append(",\"model\":");
        appendJsonStr(out, active->getModel());
        formatInto(out, ",\"max_tokens\":{},\"temperature\":", active->max_tokens);
        appendFixed2(out, active->temperature);
    } else {
        out.append("\"\"");
        out.append(kLlmUnconfiguredTail);
    }
    out.append("},\"integrations\":{");
    out.append(kShuffleSettings);
    out.append(kTheHiveSettings);
    out.append("}}");
}

void writeLlmSettingsBody(TextBuf& out, const LlmManager& llm) {
    out.append("{\"configured\":");
    appendJsonBool(out, llm.isConfigured());
    formatInto(out, ",\"provider_count\":{},\"providers\":[", llm.config_count);
    for (u32 i = 0; i < llm.config_count && i < kMaxLlmConfigs; ++i) {
        const LlmConfig& c = llm.configs[i];
        if (i) out.push(',');
        out.append("{\"provider\":");
        appendJsonStr(out, llmProviderName(c.provider));
        out.append(",\"model\":");
        appendJsonStr(out, c.getModel());
        out.append(",\"base_url\":");
        appendJsonStr(out, c.getBaseUrl());
        out.append(",\"enabled\":");
        appendJsonBool(out, c.enabled);
        out.append(",\"active\":");
        appendJsonBool(out, c.active);
        out.append(",\"has_api_key\":");
        appendJsonBool(out, c.hasApiKey());
        out.push('}');
    }
    out.append("]}");
}

}  // namespace tarvex
