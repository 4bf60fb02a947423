// test_db.h: reaching the throwaway server started by scripts/pg-test-server.
//
// Tests that need a server read its URLs from the environment and skip when
// they are absent, so the suite still passes on a machine without one.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "pg/conn.h"
#include "pg/url.h"

namespace tarvex::test {

// The value of `var`, or "" when unset.
inline std::string envText(const char* var) {
    const char* v = std::getenv(var);
    return v ? v : "";
}

// `url` with its database replaced by `database`.
inline std::string withDatabase(const std::string& url, const std::string& database) {
    size_t start = url.find("://") + 3;
    size_t query = url.find('?', start);
    size_t slash = url.find('/', start);
    std::string tail = query == std::string::npos ? "" : url.substr(query);
    size_t end = slash != std::string::npos && slash < query ? slash : query;
    return url.substr(0, end) + "/" + database + tail;
}

// `url` with "?param" (or "&param") appended.
inline std::string withParam(const std::string& url, const std::string& param) {
    return url + (url.find('?') == std::string::npos ? "?" : "&") + param;
}

// Opens a plain connection, failing the test when it cannot.
inline std::unique_ptr<PgConn> connectOrFail(const std::string& url) {
    Result<PgConnOptions> o = parsePgUrl(url);
    EXPECT_TRUE(o.ok()) << errName(o.err);
    if (!o.ok()) return nullptr;
    std::string why;
    Result<std::unique_ptr<PgConn>> c = PgConn::open(o.value, &why);
    EXPECT_TRUE(c.ok()) << why;
    return c.ok() ? std::move(c.value) : nullptr;
}

// A database of its own for one test, created from the SCRAM role's URL and
// dropped (with any sessions still in it) when the test ends.
class ScratchDatabase {
  public:
    ScratchDatabase(const std::string& admin_url, const std::string& tag) : admin_url_(admin_url) {
        static std::atomic<int> counter{0};
        name_ = "tarvex_" + tag + "_" + std::to_string(getpid()) + "_" +
                std::to_string(counter.fetch_add(1));
        admin_ = connectOrFail(admin_url_);
        if (!admin_) return;
        std::string sql = "CREATE DATABASE " + name_;
        created_ = admin_->execScript(sql.c_str()) == Err::None;
        EXPECT_TRUE(created_) << admin_->lastError();
    }
    ~ScratchDatabase() {
        if (!admin_ || !created_) return;
        std::string sql = "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)";
        EXPECT_EQ(admin_->execScript(sql.c_str()), Err::None) << admin_->lastError();
    }
    ScratchDatabase(const ScratchDatabase&) = delete;
    ScratchDatabase& operator=(const ScratchDatabase&) = delete;

    bool ok() const { return created_; }
    const std::string& name() const { return name_; }
    std::string url() const { return withDatabase(admin_url_, name_); }
    // A connection to the server's test database, for control statements.
    PgConn& admin() { return *admin_; }

  private:
    std::string admin_url_;
    std::string name_;
    std::unique_ptr<PgConn> admin_;
    bool created_ = false;
};

// The text of db/schema.sql ("" when it cannot be read).
inline std::string schemaText() {
    std::ifstream in(std::string(TARVEX_SOURCE_DIR) + "/db/schema.sql");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A scratch database with db/schema.sql applied, and a connection to it.
struct SchemaDatabase {
    ScratchDatabase db;
    std::unique_ptr<PgConn> conn;
    SchemaDatabase(const std::string& admin_url, const std::string& tag) : db(admin_url, tag) {
        if (!db.ok()) return;
        conn = connectOrFail(db.url());
        if (!conn) return;
        std::string schema = schemaText();
        EXPECT_FALSE(schema.empty());
        if (conn->execScript(schema.c_str()) != Err::None) {
            ADD_FAILURE() << "schema: " << conn->lastError();
            conn.reset();
        }
    }
};

}  // namespace tarvex::test

// Skips the test unless the throwaway server's variable `var` is set; binds
// its value to a std::string named `name`.
#define TARVEX_PG_URL_OR_SKIP(name, var)                                           \
    const std::string name = ::tarvex::test::envText(var);                         \
    if (name.empty()) {                                                            \
        GTEST_SKIP() << var << " is not set (start scripts/pg-test-server first)"; \
    }
