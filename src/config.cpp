// config.cpp: command line, config file and environment.
#include "config.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/number.h"

namespace tarvex {

namespace {

constexpr std::string_view kUsage =
    "tarvex - Behavioral SIEM daemon\n"
    "\n"
    "Usage: tarvex [options]\n"
    "\n"
    "Options:\n"
    "  -c, --config <path>  Load environment variables from a config file\n"
    "  -h, --help           Show this help message\n"
    "  -v, --version        Show version\n"
    "\n"
    "Config file format:\n"
    "  KEY=VALUE lines, # comments, blank lines ignored.\n"
    "  Environment variables take precedence over file values.\n"
    "\n"
    "Environment variables:\n"
    "  DATABASE_URL          PostgreSQL connection string (required)\n"
    "  PORT                  HTTP API port (default: 3000)\n"
    "  HOST                  Bind address (default: 0.0.0.0)\n"
    "  SYSLOG_PORT           Syslog UDP port (default: 514)\n"
    "  SYSLOG_TCP_PORT       Syslog TCP port (default: 0, off)\n"
    "  SYSLOG_TLS_PORT       Syslog TLS port (default: 0, off)\n"
    "  SYSLOG_TLS_CERT       TLS certificate chain, PEM file\n"
    "  SYSLOG_TLS_KEY        TLS private key, PEM file\n"
    "  APP_ENV               development or production\n"
    "  CORS_ORIGINS          Allowed origins, comma-separated\n"
    "  ANOMALY_THRESHOLD     Alert threshold (default: 0.5)\n"
    "  LEARNING_DAYS         Baseline learning period (default: 7)\n"
    "  ACTIVATION_DECAY      Spreading activation decay (default: 0.6)\n"
    "  COLLISION_MIN_WAVES   Min collision waves for alert (default: 2)\n"
    "  LOG_RETENTION_DAYS    Days to retain logs (default: 30)\n"
    "  MAX_DEVICES           Device limit (default: 200)\n"
    "  LLM_PROVIDER          LLM provider (openai, anthropic, ollama, etc.)\n"
    "  LLM_API_KEY           LLM API key\n"
    "  LLM_BASE_URL          LLM API base URL\n"
    "  LLM_MODEL             LLM model name\n"
    "  API_TOKEN             Bearer token the API requires (default: none)\n"
    "  NEW_DEVICE_ALERTS     Alert when a new device joins, 0 or 1 (default: 1)\n"
    "  NEW_DEVICE_GRACE      Seconds after the first start without them (default: 600)\n"
    "  NOTIFY_URL            Where alerts are POSTed, http or https (default: none)\n"
    "  NOTIFY_FORMAT         json, ntfy or gotify (default: json)\n"
    "  NOTIFY_MIN_SEVERITY   Lowest severity sent, info to critical (default: high)\n"
    "  NOTIFY_LINK_BASE      Dashboard address for links (default: http://HOST:PORT)\n"
    "  INDICATOR_FILES       Threat indicator files to load and watch, comma-separated\n";

constexpr size_t kPathMax = 4096;
constexpr size_t kFileMax = 65536;
constexpr size_t kKeyMax = 256;
constexpr size_t kValueMax = 1024;

bool isTrimByte(char c, bool with_cr) {
    return c == ' ' || c == '\t' || (with_cr && c == '\r');
}

std::string_view trim(std::string_view s, bool with_cr) {
    while (!s.empty() && isTrimByte(s.front(), with_cr)) s.remove_prefix(1);
    while (!s.empty() && isTrimByte(s.back(), with_cr)) s.remove_suffix(1);
    return s;
}

// Copies s into buf as a zero-terminated string (buf holds at least s.size()+1).
const char* zstr(char* buf, std::string_view s) {
    std::memcpy(buf, s.data(), s.size());
    buf[s.size()] = 0;
    return buf;
}

// Applies one line of a config file. Returns true when a variable was set.
bool applyLine(std::string_view raw, char* scratch) {
    std::string_view line = trim(raw, true);
    if (line.empty() || line[0] == '#') return false;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos || eq == 0) return false;
    std::string_view key = trim(line.substr(0, eq), false);
    std::string_view value = trim(line.substr(eq + 1), false);
    if (value.size() >= 2 && ((value.front() == '\'' && value.back() == '\'') ||
                              (value.front() == '"' && value.back() == '"'))) {
        value = value.substr(1, value.size() - 2);
    }
    // scratch holds the whole file plus room for two terminators.
    char* key_z = scratch;
    char* value_z = scratch + key.size() + 1;
    zstr(key_z, key);
    if (std::getenv(key_z) != nullptr) return false;  // the environment wins
    if (key.size() > kKeyMax || value.size() > kValueMax) {
        logWarn("config", "config line too long, skipping: {}", key);
        return false;
    }
    zstr(value_z, value);
    if (::setenv(key_z, value_z, 0) != 0) {
        logWarn("config", "failed to set environment variable: {}", key);
        return false;
    }
    return true;
}

template <class T>
T getEnvUnsigned(const char* name, T dflt, u64 max) {
    const char* raw = std::getenv(name);
    if (raw == nullptr) return dflt;
    Result<u64> r = parseUnsignedDecimal(raw, max);
    if (!r.ok()) {
        logWarn("config", "invalid value for {}: {} ({}), using default {}", std::string_view(name),
                std::string_view(raw), r.err, dflt);
        return dflt;
    }
    return static_cast<T>(r.value);
}

template <size_t N, class L>
void readText(const char* name, char (&field)[N], L& len) {
    const char* raw = std::getenv(name);
    if (raw == nullptr) return;
    std::memset(field, 0, N);
    copyBounded(field, len, raw);
}

// Syslog over TCP and TLS: the ports (0, the default, leaves a listener off)
// and the TLS certificate and key paths. A path longer than its field is cut
// like any text setting (and then fails to open, with its log line).
void readStreamSettings(Config& c) {
    c.syslog_tcp_port = getEnvU16("SYSLOG_TCP_PORT", 0);
    c.syslog_tls_port = getEnvU16("SYSLOG_TLS_PORT", 0);
    readText("SYSLOG_TLS_CERT", c.syslog_tls_cert, c.syslog_tls_cert_len);
    readText("SYSLOG_TLS_KEY", c.syslog_tls_key, c.syslog_tls_key_len);
    if (c.syslog_tcp_port != 0 || c.syslog_tls_port != 0) {
        logInfo("config", "syslog streams: tcp_port={} tls_port={}", c.syslog_tcp_port,
                c.syslog_tls_port);
    }
}

}  // namespace

Config::Config() {
    copyBounded(cors_origins, cors_origins_len, kDefaultCorsOrigin);
}

std::string_view environmentName(Environment e) {
    return e == Environment::production ? "production" : "development";
}

std::string_view usageText() {
    return kUsage;
}

void writeStdout(std::string_view bytes) {
    ssize_t r = ::write(1, bytes.data(), bytes.size());
    (void)r;
}

void printUsage() {
    writeStdout(kUsage);
}

ArgsScan scanArgs(int argc, const char* const* argv) {
    ArgsScan scan;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "-c" || a == "--config") {
            if (i + 1 < argc) {
                scan.config_path = argv[i + 1];
            } else {
                scan.config_missing_path = true;
            }
            return scan;  // scanning stops at the config option
        }
        if (a == "-h" || a == "--help") {
            scan.action = ArgsScan::Action::help;
            return scan;
        }
        if (a == "-v" || a == "--version") {
            scan.action = ArgsScan::Action::version;
            return scan;
        }
    }
    return scan;
}

const char* parseArgs(int argc, const char* const* argv) {
    ArgsScan scan = scanArgs(argc, argv);
    switch (scan.action) {
        case ArgsScan::Action::help:
            printUsage();
            std::exit(0);
        case ArgsScan::Action::version:
            writeStdout(kVersionLine);
            std::exit(0);
        case ArgsScan::Action::run:
            break;
    }
    if (scan.config_missing_path) logError("config", "--config requires a path argument");
    return scan.config_path;
}

void loadEnvFile(const char* path) {
    std::string_view path_view = path;
    char path_z[kPathMax];
    int fd = -1;
    Err open_err = Err::None;
    if (path_view.size() >= kPathMax) {
        open_err = Err::NameTooLong;
    } else {
        zstr(path_z, path_view);
        fd = ::open(path_z, O_RDONLY | O_CLOEXEC);
        if (fd < 0) open_err = errFromErrno(errno);
    }
    if (open_err != Err::None) {
        logError("config", "could not open config file '{}': {}", path_view, open_err);
        return;
    }

    // Static: start-up runs once on the main thread, and 64 KiB twice over is
    // more than a stack frame should carry.
    static char contents[kFileMax];
    static char scratch[kFileMax + 2];
    size_t total = 0;
    while (total < kFileMax) {
        ssize_t n = ::read(fd, contents + total, kFileMax - total);
        if (n < 0) {
            if (errno == EINTR) continue;
            logWarn("config", "error reading config file: {}", errFromErrno(errno));
            ::close(fd);
            return;
        }
        if (n == 0) break;
        total += static_cast<size_t>(n);
    }
    if (total == 0) logInfo("config", "config file is empty: '{}'", path_view);

    std::string_view all(contents, total);
    u32 count = 0;
    while (!all.empty()) {
        size_t nl = all.find('\n');
        std::string_view line = all.substr(0, nl);
        all = nl == std::string_view::npos ? std::string_view() : all.substr(nl + 1);
        if (applyLine(line, scratch)) ++count;
    }
    logInfo("config", "loaded {} variables from config file '{}'", count, path_view);
    ::close(fd);
}

u16 getEnvU16(const char* name, u16 dflt) {
    return getEnvUnsigned<u16>(name, dflt, 65535);
}

u32 getEnvU32(const char* name, u32 dflt) {
    return getEnvUnsigned<u32>(name, dflt, 4294967295u);
}

f32 getEnvF32(const char* name, f32 dflt) {
    const char* raw = std::getenv(name);
    if (raw == nullptr) return dflt;
    Result<f32> r = parseFloat32(raw);
    if (!r.ok()) {
        logWarn("config", "invalid value for {}: {} ({}), using default {}", std::string_view(name),
                std::string_view(raw), r.err, dflt);
        return dflt;
    }
    return r.value;
}

Config load() {
    Config c;
    c.port = getEnvU16("PORT", 3000);
    c.syslog_port = getEnvU16("SYSLOG_PORT", 514);
    c.anomaly_threshold = getEnvF32("ANOMALY_THRESHOLD", 0.5f);
    c.learning_days = getEnvU32("LEARNING_DAYS", 7);
    c.activation_decay = getEnvF32("ACTIVATION_DECAY", 0.6f);
    c.collision_min_waves = getEnvU32("COLLISION_MIN_WAVES", 2);
    c.log_retention_days = getEnvU32("LOG_RETENTION_DAYS", 30);
    c.max_devices = getEnvU32("MAX_DEVICES", 200);

    readText("HOST", c.host, c.host_len);
    if (std::getenv("DATABASE_URL") == nullptr) {
        logWarn("config",
                "DATABASE_URL not set \xE2\x80\x94 database features will be unavailable");
    }
    readText("DATABASE_URL", c.database_url, c.database_url_len);
    readText("CORS_ORIGINS", c.cors_origins, c.cors_origins_len);
    if (const char* app_env = std::getenv("APP_ENV")) {
        c.env = std::string_view(app_env) == "production" ? Environment::production
                                                          : Environment::development;
    }
    readText("LLM_PROVIDER", c.llm_provider, c.llm_provider_len);
    readText("LLM_API_KEY", c.llm_api_key, c.llm_api_key_len);
    readText("LLM_BASE_URL", c.llm_base_url, c.llm_base_url_len);
    readText("LLM_MODEL", c.llm_model, c.llm_model_len);
    readText("API_TOKEN", c.api_token, c.api_token_len);
    readText("INDICATOR_FILES", c.indicator_files, c.indicator_files_len);
    if (c.indicator_files_len == sizeof c.indicator_files) {
        logWarn("config", "INDICATOR_FILES longer than {} bytes, cut", sizeof c.indicator_files);
    }
    readStreamSettings(c);
    readAlertSettings(c);

    logInfo("config", "config loaded: port={} syslog_port={} env={} max_devices={}", c.port,
            c.syslog_port, environmentName(c.env), c.max_devices);
    return c;
}

}  // namespace tarvex
