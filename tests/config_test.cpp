// Configuration: numbers, floats, config-file lines, precedence, overlong values.
#include "config.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <string>

#include "common/number.h"
#include "support/log_capture.h"

namespace tarvex {
namespace {

TEST(ConfigNumbers, UnsignedDecimalRules) {
    struct Case {
        const char* text;
        u64 max;
        Err err;
        u64 value;
        const char* rule;
    };
    const Case cases[] = {
        {"8080", 65535, Err::None, 8080, "plain digits"},
        {"+8080", 65535, Err::None, 8080, "leading plus"},
        {"1_000", 65535, Err::None, 1000, "underscore between digits"},
        {"1_0_0", 65535, Err::None, 100, "several single underscores"},
        {"1__0", 65535, Err::InvalidCharacter, 0, "double underscore"},
        {"_10", 65535, Err::InvalidCharacter, 0, "leading underscore"},
        {"10_", 65535, Err::InvalidCharacter, 0, "trailing underscore"},
        {"-0", 65535, Err::None, 0, "minus zero"},
        {"-000", 65535, Err::None, 0, "minus zeros"},
        {"-1", 65535, Err::Overflow, 0, "negative magnitude"},
        {"", 65535, Err::InvalidCharacter, 0, "empty"},
        {"+", 65535, Err::InvalidCharacter, 0, "sign only"},
        {"-", 65535, Err::InvalidCharacter, 0, "minus only"},
        {"12a", 65535, Err::InvalidCharacter, 0, "stray letter"},
        {" 12", 65535, Err::InvalidCharacter, 0, "leading space"},
        {"65535", 65535, Err::None, 65535, "u16 max"},
        {"65536", 65535, Err::Overflow, 0, "u16 max + 1"},
        {"70000", 65535, Err::Overflow, 0, "beyond u16"},
        {"4294967295", 4294967295u, Err::None, 4294967295u, "u32 max"},
        {"4294967296", 4294967295u, Err::Overflow, 0, "u32 max + 1"},
        {"99999999999999999999999", 4294967295u, Err::Overflow, 0, "beyond u64"},
        {"0x10", 65535, Err::InvalidCharacter, 0, "no base prefixes"},
    };
    for (const auto& c : cases) {
        Result<u64> r = parseUnsignedDecimal(c.text, c.max);
        EXPECT_EQ(r.err, c.err) << c.rule << ": " << c.text;
        if (c.err == Err::None) {
            EXPECT_EQ(r.value, c.value) << c.rule;
        }
    }
}

TEST(ConfigNumbers, FloatRules) {
    struct Case {
        const char* text;
        bool ok;
        float value;
        const char* rule;
    };
    const Case cases[] = {
        {"0.5", true, 0.5f, "decimal"},
        {"-3", true, -3.0f, "negative accepted"},
        {"+2.5", true, 2.5f, "leading plus"},
        {"1e3", true, 1000.0f, "exponent"},
        {"1E-2", true, 0.01f, "upper-case exponent"},
        {".5", true, 0.5f, "no integer part"},
        {"0x1p-1", true, 0.5f, "hex float"},
        {"0X1.8P1", true, 3.0f, "hex float upper case"},
        {"0.1", true, 0.1f, "correctly rounded"},
        {"1e50", true, INFINITY, "beyond range is infinity"},
        {"abc", false, 0, "letters"},
        {"", false, 0, "empty"},
        {"1.5x", false, 0, "trailing garbage"},
        {" 1", false, 0, "leading space"},
        {"--1", false, 0, "double sign"},
    };
    for (const auto& c : cases) {
        Result<f32> r = parseFloat32(c.text);
        EXPECT_EQ(r.ok(), c.ok) << c.rule << ": " << c.text;
        if (c.ok) {
            EXPECT_EQ(r.value, c.value) << c.rule;
        } else {
            EXPECT_EQ(r.err, Err::InvalidCharacter) << c.rule;
        }
    }
    for (const char* word : {"inf", "INF", "Infinity", "-inf"}) {
        Result<f32> r = parseFloat32(word);
        ASSERT_TRUE(r.ok()) << word;
        EXPECT_TRUE(std::isinf(r.value)) << word;
    }
    EXPECT_EQ(parseFloat32("-inf").value, -INFINITY);
    for (const char* word : {"nan", "NaN", "NAN"}) {
        Result<f32> r = parseFloat32(word);
        ASSERT_TRUE(r.ok()) << word;
        EXPECT_TRUE(std::isnan(r.value)) << word;
    }
}

// Clears every variable this test touches, before and after.
class ConfigEnv : public ::testing::Test {
  protected:
    static constexpr const char* kVars[] = {"PORT",
                                            "SYSLOG_PORT",
                                            "ANOMALY_THRESHOLD",
                                            "LEARNING_DAYS",
                                            "ACTIVATION_DECAY",
                                            "COLLISION_MIN_WAVES",
                                            "LOG_RETENTION_DAYS",
                                            "MAX_DEVICES",
                                            "HOST",
                                            "DATABASE_URL",
                                            "CORS_ORIGINS",
                                            "APP_ENV",
                                            "LLM_PROVIDER",
                                            "LLM_API_KEY",
                                            "LLM_BASE_URL",
                                            "LLM_MODEL",
                                            "TVX_A",
                                            "TVX_B",
                                            "TVX_C",
                                            "TVX_D",
                                            "TVX_E",
                                            "TVX_LONGVAL",
                                            "TVX_OK"};
    void SetUp() override { clear(); }
    void TearDown() override {
        clear();
        std::remove(path_.c_str());
    }
    void clear() {
        for (const char* v : kVars) unsetenv(v);
    }
    std::string writeFile(const std::string& contents) {
        std::ofstream f(path_, std::ios::binary);
        f << contents;
        return path_;
    }
    std::string path_ = "/tmp/tarvex_config_test_" + std::to_string(getpid()) + ".env";
};

TEST_F(ConfigEnv, DefaultsWhenNothingIsSet) {
    test::LogCapture logs;
    Config c = load();
    EXPECT_EQ(c.port, 3000);
    EXPECT_EQ(c.syslog_port, 514);
    EXPECT_EQ(c.anomaly_threshold, 0.5f);
    EXPECT_EQ(c.learning_days, 7u);
    EXPECT_EQ(c.activation_decay, 0.6f);
    EXPECT_EQ(c.collision_min_waves, 2u);
    EXPECT_EQ(c.log_retention_days, 30u);
    EXPECT_EQ(c.max_devices, 200u);
    EXPECT_EQ(c.getHost(), "0.0.0.0");
    EXPECT_EQ(c.getCorsOrigins(), "http://localhost:5173");
    EXPECT_EQ(c.env, Environment::development);
    EXPECT_TRUE(c.getDatabaseUrl().empty());
    auto lines = logs.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              "warning(config): DATABASE_URL not set \xE2\x80\x94 database features will be "
              "unavailable");
    EXPECT_EQ(lines[1],
              "info(config): config loaded: port=3000 syslog_port=514 env=development "
              "max_devices=200");
}

TEST_F(ConfigEnv, InvalidValuesFallBackWithWarning) {
    struct Case {
        const char* var;
        const char* value;
        const char* line;
    };
    const Case cases[] = {
        {"PORT", "70000",
         "warning(config): invalid value for PORT: 70000 (Overflow), using default 3000"},
        {"PORT", "-1",
         "warning(config): invalid value for PORT: -1 (Overflow), using default 3000"},
        {"SYSLOG_PORT", "",
         "warning(config): invalid value for SYSLOG_PORT:  (InvalidCharacter), "
         "using default 514"},
        {"MAX_DEVICES", "lots",
         "warning(config): invalid value for MAX_DEVICES: lots "
         "(InvalidCharacter), using default 200"},
        {"ANOMALY_THRESHOLD", "abc",
         "warning(config): invalid value for ANOMALY_THRESHOLD: abc "
         "(InvalidCharacter), using default 0.5"},
        {"ACTIVATION_DECAY", "0.6.1",
         "warning(config): invalid value for ACTIVATION_DECAY: 0.6.1 "
         "(InvalidCharacter), using default 0.6"},
    };
    for (const auto& c : cases) {
        clear();
        setenv("DATABASE_URL", "", 1);
        setenv(c.var, c.value, 1);
        test::LogCapture logs;
        Config cfg = load();
        EXPECT_TRUE(logs.has(c.line)) << c.var << "=" << c.value;
        EXPECT_EQ(cfg.port, 3000);
        EXPECT_EQ(cfg.anomaly_threshold, 0.5f);
    }
}

TEST_F(ConfigEnv, ValuesAreReadAndTextIsCut) {
    setenv("PORT", "1_000", 1);
    setenv("SYSLOG_PORT", "-0", 1);
    setenv("ANOMALY_THRESHOLD", "-3", 1);
    setenv("MAX_DEVICES", "100000", 1);
    setenv("HOST", std::string(60, 'h').c_str(), 1);
    setenv("DATABASE_URL", "", 1);
    setenv("APP_ENV", "production", 1);
    setenv("CORS_ORIGINS", "", 1);
    setenv("LLM_MODEL", std::string(100, 'm').c_str(), 1);
    test::LogCapture logs;
    Config c = load();
    EXPECT_EQ(c.port, 1000);
    EXPECT_EQ(c.syslog_port, 0);
    EXPECT_EQ(c.anomaly_threshold, -3.0f);
    EXPECT_EQ(c.max_devices, 100000u);
    EXPECT_EQ(c.getHost(), std::string(46, 'h'));
    EXPECT_EQ(c.getLlmModel(), std::string(64, 'm'));
    EXPECT_EQ(c.env, Environment::production);
    EXPECT_TRUE(c.getCorsOrigins().empty()) << "set but empty is copied as empty";
    EXPECT_FALSE(logs.hasSubstring("DATABASE_URL not set")) << "set-but-empty gives no warning";

    setenv("APP_ENV", "Production", 1);
    EXPECT_EQ(load().env, Environment::development) << "production is case-sensitive";
}

TEST_F(ConfigEnv, FileLinesApplyWithTheirRules) {
    std::string longkey(257, 'K');
    std::string contents =
        "# a comment\n"
        "\n"
        "PORT = \"8080\"\r\n"
        "  TVX_A=b # x  \n"
        "TVX_B='quoted'\n"
        "TVX_C='mismatch\"\n"
        "=novalue\n"
        "no equals sign\n"
        "TVX_D=\n"
        "\tTVX_E = a=b\n" +
        longkey + "=v\n" + "TVX_LONGVAL=" + std::string(1025, 'v') + "\n" + "TVX_OK=1";
    setenv("HOST", "", 1);  // present but empty: shadows the file
    std::string path = writeFile(contents + "\nHOST=10.0.0.1\n");
    test::LogCapture logs;
    loadEnvFile(path.c_str());
    EXPECT_STREQ(getenv("PORT"), "8080");
    EXPECT_STREQ(getenv("TVX_A"), "b # x");
    EXPECT_STREQ(getenv("TVX_B"), "quoted");
    EXPECT_STREQ(getenv("TVX_C"), "'mismatch\"");
    EXPECT_STREQ(getenv("TVX_D"), "");
    EXPECT_STREQ(getenv("TVX_E"), "a=b");
    EXPECT_STREQ(getenv("TVX_OK"), "1") << "a last line without newline still applies";
    EXPECT_STREQ(getenv("HOST"), "") << "the environment wins even when empty";
    EXPECT_EQ(getenv("TVX_LONGVAL"), nullptr);
    EXPECT_TRUE(logs.has("warning(config): config line too long, skipping: " + longkey));
    EXPECT_TRUE(logs.has("warning(config): config line too long, skipping: TVX_LONGVAL"));
    EXPECT_TRUE(logs.has("info(config): loaded 7 variables from config file '" + path + "'"));
    unsetenv(longkey.c_str());
}

TEST_F(ConfigEnv, FileProblemsAreLoggedNotFatal) {
    test::LogCapture logs;
    loadEnvFile("/nonexistent/tarvex.env");
    EXPECT_TRUE(logs.has(
        "error(config): could not open config file '/nonexistent/tarvex.env': FileNotFound"));

    std::string longpath(4096, 'p');
    loadEnvFile(longpath.c_str());
    EXPECT_TRUE(logs.hasSubstring("': NameTooLong"));

    std::string path = writeFile("");
    loadEnvFile(path.c_str());
    EXPECT_TRUE(logs.has("info(config): config file is empty: '" + path + "'"));
    EXPECT_TRUE(logs.has("info(config): loaded 0 variables from config file '" + path + "'"));
}

TEST_F(ConfigEnv, FileIsReadUpTo64KiB) {
    // Pad to put "TVX_A=abcdef" across the 65536-byte boundary.
    std::string pad = "#" + std::string(65536 - 1 - 1 - 9, 'x') + "\n";  // ends at 65526
    std::string contents = pad + "TVX_A=abcdef\nTVX_B=after\n";
    ASSERT_EQ(pad.size(), 65527u);
    std::string path = writeFile(contents);
    loadEnvFile(path.c_str());
    EXPECT_STREQ(getenv("TVX_A"), "abc") << "a line cut at the boundary is processed as cut";
    EXPECT_EQ(getenv("TVX_B"), nullptr);
}

TEST(ConfigArgs, ScanRules) {
    struct Case {
        std::vector<const char*> argv;
        ArgsScan::Action action;
        const char* path;
        bool missing;
    };
    const Case cases[] = {
        {{"tarvex"}, ArgsScan::Action::run, nullptr, false},
        {{"tarvex", "-h"}, ArgsScan::Action::help, nullptr, false},
        {{"tarvex", "--help"}, ArgsScan::Action::help, nullptr, false},
        {{"tarvex", "-v"}, ArgsScan::Action::version, nullptr, false},
        {{"tarvex", "--version"}, ArgsScan::Action::version, nullptr, false},
        {{"tarvex", "-c"}, ArgsScan::Action::run, nullptr, true},
        {{"tarvex", "-c", "a.env", "-h"}, ArgsScan::Action::run, "a.env", false},
        {{"tarvex", "--config", "a.env"}, ArgsScan::Action::run, "a.env", false},
        {{"tarvex", "-h", "-c", "a.env"}, ArgsScan::Action::help, nullptr, false},
        {{"tarvex", "--config=a.env", "-x", "-vh"}, ArgsScan::Action::run, nullptr, false},
    };
    for (const auto& c : cases) {
        ArgsScan s = scanArgs(static_cast<int>(c.argv.size()), c.argv.data());
        EXPECT_EQ(s.action, c.action) << c.argv.size();
        EXPECT_EQ(s.config_missing_path, c.missing);
        if (c.path) {
            ASSERT_NE(s.config_path, nullptr);
            EXPECT_STREQ(s.config_path, c.path);
        } else {
            EXPECT_EQ(s.config_path, nullptr);
        }
    }
    EXPECT_EQ(usageText().size(), 2086u);
}

}  // namespace
}  // namespace tarvex
