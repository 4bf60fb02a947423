// conn.h: one connection to the PostgreSQL server, over libpq.
//
// A PgConn runs statements for one thread at a time: whoever acquired it from
// the pool. Parameterised statements go through the extended query protocol
// (parse, bind, describe, execute, sync on the unnamed statement) with every
// parameter in text form, in $1..$n order; transaction control ("begin",
// "commit", "rollback") and schema scripts use simple queries. Each call reads
// the server's answer to completion, so a server error leaves the connection
// ready for the next statement. Authentication (cleartext, MD5,
// SCRAM-SHA-256) and TLS are negotiated by libpq as the options ask.
//
// Every failure is returned as an error name; the server's message for the
// last failure is kept for diagnostics (`lastError`).
#pragma once

#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "pg/param.h"
#include "pg/rows.h"
#include "pg/url.h"

struct pg_conn;

namespace tarvex {

class PgConn {
  public:
    // Opens a connection. On failure logs "error(pg): connect error: {}" and
    // returns ConnectionFailed; the library's reason goes to `why` if given.
    static Result<std::unique_ptr<PgConn>> open(const PgConnOptions& options,
                                                std::string* why = nullptr);

    ~PgConn();
    PgConn(const PgConn&) = delete;
    PgConn& operator=(const PgConn&) = delete;

    // Runs one statement with parameters and discards its rows. Returns
    // QueryFailed when the server refuses it, InvalidCharacter (without
    // sending anything) when a parameter holds a NUL byte, which no
    // PostgreSQL text value can carry.
    Err exec(const char* sql, std::initializer_list<PgParam> params = {});
    Err exec(const char* sql, std::span<const PgParam> params);

    // Runs one statement with parameters and returns all of its rows.
    Result<PgRows> query(const char* sql, std::initializer_list<PgParam> params = {});
    Result<PgRows> query(const char* sql, std::span<const PgParam> params);

    // Runs `sql` as a simple query: one or more statements without
    // parameters, as in a schema script. QueryFailed if any fails.
    Err execScript(const char* sql);

    Err begin() { return execScript("begin"); }
    // Fails with QueryFailed when the server rolled back instead (a
    // transaction in which a statement failed commits nothing).
    Err commit();
    Err rollback() { return execScript("rollback"); }

    // True once the connection to the server is lost.
    bool broken() const;
    // Reads whatever the server sent while the connection was idle, without
    // waiting, and says whether the session is still there (false once the
    // server has closed it).
    bool alive();
    // True while a transaction is open (or failed and not yet rolled back).
    bool inTransaction() const;
    // The server process id serving this connection.
    int backendPid() const;
    // The server's message for the last failed call ("" after a success).
    const std::string& lastError() const { return last_error_; }
    // The SQLSTATE of the last failed statement ("" when none was given).
    const std::string& lastSqlState() const { return last_sqlstate_; }

  private:
    explicit PgConn(pg_conn* c) : conn_(c) {}
    Result<pg_result*> run(const char* sql, std::span<const PgParam> params);

    pg_conn* conn_ = nullptr;
    std::string last_error_;
    std::string last_sqlstate_;
    // Scratch reused across statements: NUL-terminated parameter copies.
    std::string param_bytes_;
    std::vector<const char*> param_values_;
    std::vector<size_t> param_offsets_;
};

}  // namespace tarvex
