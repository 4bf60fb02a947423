// config.h: the daemon's settings.
//
// All settings come from environment variables, optionally seeded from a
// KEY=VALUE file given with -c that never overrides the environment. They are
// read once at start into one fixed-size Config record and never reloaded.
#pragma once

#include <string_view>

#include "alert/manager.h"
#include "common/text.h"
#include "common/types.h"
#include "notify/settings.h"

namespace tarvex {

constexpr std::string_view kVersion = "0.1.0";
constexpr std::string_view kVersionLine = "tarvex v0.1.0\n";
// The dashboard's development server, the one origin allowed by default.
constexpr std::string_view kDefaultCorsOrigin = "http://localhost:5173";

enum class Environment : u8 { development = 0, production = 1 };

// Alerting settings, read by readAlertSettings (config_alerts.cpp).
struct AlertSettings {
    bool new_device_alerts = true;  // NEW_DEVICE_ALERTS (0 turns them off)
    u32 new_device_grace = 600;     // NEW_DEVICE_GRACE, seconds after the first start

    // Notifications (notify/notifier.h). NOTIFY_URL: where alerts are
    // POSTed, http or https; empty (the default, or a URL that is neither)
    // leaves notifications off. It may carry credentials: never logged or
    // reported, only its scheme, host and port.
    char notify_url[1000] = {};
    u16 notify_url_len = 0;
    NotifyFormat notify_format = NotifyFormat::json;          // NOTIFY_FORMAT
    AlertSeverity notify_min_severity = AlertSeverity::high;  // NOTIFY_MIN_SEVERITY
    // NOTIFY_LINK_BASE: the dashboard's address as the people notified
    // reach it; without it "http://<host>:<PORT>", the host being HOST or,
    // when HOST is a wildcard address, this machine's host name.
    char notify_link_base[256] = {};
    u16 notify_link_base_len = 0;

    std::string_view getNotifyUrl() const { return {notify_url, notify_url_len}; }
    std::string_view getNotifyLinkBase() const { return {notify_link_base, notify_link_base_len}; }
    bool notifyConfigured() const { return notify_url_len != 0; }
};

struct Config {
    f32 anomaly_threshold = 0.5f;
    u32 learning_days = 7;
    f32 activation_decay = 0.6f;
    u32 collision_min_waves = 2;
    u32 log_retention_days = 30;
    u32 max_devices = 200;
    u16 port = 3000;
    u16 syslog_port = 514;
    char host[46] = {'0', '.', '0', '.', '0', '.', '0'};
    u8 host_len = 7;
    char database_url[256] = {};
    u16 database_url_len = 0;
    char cors_origins[256] = {};
    u16 cors_origins_len = 0;
    Environment env = Environment::development;
    char llm_provider[32] = {};
    u8 llm_provider_len = 0;
    char llm_api_key[256] = {};
    u16 llm_api_key_len = 0;
    char llm_base_url[256] = {};
    u16 llm_base_url_len = 0;
    char llm_model[64] = {};
    u8 llm_model_len = 0;
    // API_TOKEN: when set, the API asks for "Authorization: Bearer <token>"
    // (api/access.h). Never logged or reported.
    // INDICATOR_FILES: threat indicator files, comma-separated.
    char indicator_files[2048] = {};
    u16 indicator_files_len = 0;
    char api_token[256] = {};
    u16 api_token_len = 0;

    // Syslog over TCP and TLS (SYSLOG_TCP_PORT, SYSLOG_TLS_PORT: 0 is off;
    // SYSLOG_TLS_CERT, SYSLOG_TLS_KEY: PEM files).
    u16 syslog_tcp_port = 0;
    u16 syslog_tls_port = 0;
    char syslog_tls_cert[256] = {};
    u16 syslog_tls_cert_len = 0;
    char syslog_tls_key[256] = {};
    u16 syslog_tls_key_len = 0;

    AlertSettings alerts;

    Config();

    std::string_view getHost() const { return view(host, host_len); }
    std::string_view getDatabaseUrl() const { return view(database_url, database_url_len); }
    std::string_view getCorsOrigins() const { return view(cors_origins, cors_origins_len); }
    std::string_view getLlmProvider() const { return view(llm_provider, llm_provider_len); }
    std::string_view getLlmApiKey() const { return view(llm_api_key, llm_api_key_len); }
    std::string_view getLlmBaseUrl() const { return view(llm_base_url, llm_base_url_len); }
    std::string_view getLlmModel() const { return view(llm_model, llm_model_len); }
    std::string_view getIndicatorFiles() const {
        return view(indicator_files, indicator_files_len);
    }
    std::string_view getApiToken() const { return view(api_token, api_token_len); }
    std::string_view getSyslogTlsCert() const { return view(syslog_tls_cert, syslog_tls_cert_len); }
    std::string_view getSyslogTlsKey() const { return view(syslog_tls_key, syslog_tls_key_len); }
};

std::string_view environmentName(Environment e);

// What the command line asks for.
struct ArgsScan {
    enum class Action : u8 { run, help, version } action = Action::run;
    const char* config_path = nullptr;  // set when -c/--config named a path
    bool config_missing_path = false;   // -c/--config was last, with no path
};

// Examines argv[1..argc) left to right (pure: no output, no exit).
ArgsScan scanArgs(int argc, const char* const* argv);

// Scans the arguments; prints usage or version and exits 0 for -h/-v; logs
// the missing-path error. Returns the config-file path or nullptr.
const char* parseArgs(int argc, const char* const* argv);

// The usage text, 2086 bytes.
std::string_view usageText();
void printUsage();
// One write of the bytes to standard output; the result is ignored.
void writeStdout(std::string_view bytes);

// Copies the file's KEY=VALUE assignments into the environment without
// overriding what is set there already. Never fails; logs what happens.
void loadEnvFile(const char* path);

// Reads every setting from the environment. Never fails; logs what happens.
Config load();
// Reads the alerting settings into `c` (called by load).
void readAlertSettings(Config& c);

u16 getEnvU16(const char* name, u16 dflt);
u32 getEnvU32(const char* name, u32 dflt);
f32 getEnvF32(const char* name, f32 dflt);

}  // namespace tarvex
