// db_support.h: a scratch database with the schema, a pool or a persistence
// layer over it, and one-value queries for checking what the write path
// stored.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "pg/pool.h"
#include "pg/test_db.h"
#include "storage/persistence.h"

namespace tarvex::test {

// The first column of the first row as text ("<null>" for NULL, "<none>"
// without a row, "<error>" when the query fails).
inline std::string scalar(PgConn& conn, const std::string& sql) {
    Result<PgRows> r = conn.query(sql.c_str());
    if (!r.ok()) {
        ADD_FAILURE() << sql << ": " << conn.lastError();
        return "<error>";
    }
    if (!r.value.next()) return "<none>";
    return std::string(r.value.getText(0).value_or("<null>"));
}

// Every row of a query, columns joined by "|", rows by "\n".
inline std::string table(PgConn& conn, const std::string& sql) {
    Result<PgRows> r = conn.query(sql.c_str());
    if (!r.ok()) {
        ADD_FAILURE() << sql << ": " << conn.lastError();
        return "<error>";
    }
    std::string out;
    while (r.value.next()) {
        if (!out.empty()) out += '\n';
        for (int c = 0; c < r.value.columnCount(); ++c) {
            if (c) out += '|';
            out += std::string(r.value.getText(c).value_or("<null>"));
        }
    }
    return out;
}

inline i64 count(PgConn& conn, const std::string& sql) {
    return std::stoll(scalar(conn, sql));
}

// A scratch database with the schema and a pool of its own over it, for the
// statements and queries that run over a pool.
struct PoolDb {
    SchemaDatabase sdb;
    std::unique_ptr<PgPool> pool;

    PoolDb(const std::string& admin_url, const std::string& tag, PgPoolOptions options = {})
        : sdb(admin_url, tag) {
        if (!sdb.conn) return;
        Result<std::unique_ptr<PgPool>> p = PgPool::create(sdb.db.url(), options);
        EXPECT_TRUE(p.ok()) << errName(p.err);
        if (p.ok()) pool = std::move(p.value);
    }
    ~PoolDb() {
        if (pool) pool->close();
    }
    bool ok() const { return pool != nullptr; }
    PgConn& sql() { return *sdb.conn; }
};

// A scratch database with the schema and a persistence layer over it (its
// thread not started unless asked).
struct PersistenceDb {
    SchemaDatabase sdb;
    std::unique_ptr<Persistence> db;

    PersistenceDb(const std::string& admin_url, const std::string& tag,
                  PersistenceOptions options = {})
        : sdb(admin_url, tag) {
        if (!sdb.conn) return;
        Result<std::unique_ptr<Persistence>> p = Persistence::create(sdb.db.url(), options);
        EXPECT_TRUE(p.ok()) << errName(p.err);
        if (p.ok()) db = std::move(p.value);
    }
    ~PersistenceDb() {
        if (db) db->deinit();
    }
    bool ok() const { return db != nullptr; }
    PgConn& sql() { return *sdb.conn; }
};

}  // namespace tarvex::test

// Skips without the test server; otherwise declares `pdb`, a PersistenceDb.
#define TARVEX_PERSISTENCE_DB_OR_SKIP(pdb, tag, ...)                    \
    TARVEX_PG_URL_OR_SKIP(admin_url__, "TARVEX_TEST_PG_SCRAM_URL");     \
    ::tarvex::test::PersistenceDb pdb(admin_url__, tag, ##__VA_ARGS__); \
    ASSERT_TRUE(pdb.ok())

// Skips without the test server; otherwise declares `pdb`, a PoolDb.
#define TARVEX_POOL_DB_OR_SKIP(pdb, tag, ...)                       \
    TARVEX_PG_URL_OR_SKIP(admin_url__, "TARVEX_TEST_PG_SCRAM_URL"); \
    ::tarvex::test::PoolDb pdb(admin_url__, tag, ##__VA_ARGS__);    \
    ASSERT_TRUE(pdb.ok())
