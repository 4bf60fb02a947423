// conn.cpp: connecting through libpq and running statements.
#include "pg/conn.h"

#include <libpq-fe.h>

#include <climits>

#include "common/log.h"

namespace tarvex {

namespace {

std::string messageOf(pg_conn* c) {
    std::string m = c ? PQerrorMessage(c) : "out of memory";
    while (!m.empty() && (m.back() == '\n' || m.back() == ' ')) m.pop_back();
    return m;
}

}  // namespace

Result<std::unique_ptr<PgConn>> PgConn::open(const PgConnOptions& o, std::string* why) {
    std::string port = std::to_string(o.port);
    std::string user_timeout = std::to_string(o.tcp_user_timeout_ms);
    // Bound the whole connection attempt too: a silent host would otherwise
    // hold the caller for the system's full SYN retry time.
    u32 connect_s = o.tcp_user_timeout_ms == 0 ? 0 : (o.tcp_user_timeout_ms + 999) / 1000;
    if (connect_s == 1) connect_s = 2;  // libpq's minimum useful value
    std::string connect_timeout = std::to_string(connect_s);

    // Every option is passed explicitly so that libpq's environment
    // defaults (PGSSLMODE and friends) cannot change what the URL says; an
    // empty value leaves libpq's own default in place.
    const char* keys[] = {"host",
                          "port",
                          "user",
                          "password",
                          "dbname",
                          "sslmode",
                          "gssencmode",
                          "tcp_user_timeout",
                          "connect_timeout",
                          nullptr};
    const char* values[] = {o.host.c_str(),
                            port.c_str(),
                            o.user.c_str(),
                            o.password.c_str(),
                            o.database.c_str(),
                            sslModeName(o.sslmode).data(),
                            "disable",
                            o.unixSocket() ? "" : user_timeout.c_str(),
                            o.tcp_user_timeout_ms == 0 ? "" : connect_timeout.c_str(),
                            nullptr};
    pg_conn* c = PQconnectdbParams(keys, values, 0);
    if (!c || PQstatus(c) != CONNECTION_OK) {
        if (why) *why = messageOf(c);
        if (c) PQfinish(c);
        logError("pg", "connect error: {}", Err::ConnectionFailed);
        return Err::ConnectionFailed;
    }
    // Server notices ("relation already exists, skipping" and the like)
    // would otherwise be printed on standard error outside the log format.
    PQsetNoticeProcessor(
        c, [](void*, const char*) {}, nullptr);
    return std::unique_ptr<PgConn>(new PgConn(c));
}

PgConn::~PgConn() {
    if (conn_) PQfinish(conn_);
}

bool PgConn::broken() const {
    return PQstatus(conn_) != CONNECTION_OK;
}

bool PgConn::alive() {
    // libpq keeps its socket non-blocking, so none of this waits. A server
    // that ends a session sends its reason and then closes: the first read
    // may return only the message, which is parsed (as a notice, since no
    // statement is running), and the second meets the end of the stream,
    // which marks the connection bad.
    for (int i = 0; i < 2 && PQstatus(conn_) == CONNECTION_OK; ++i) {
        if (!PQconsumeInput(conn_)) return false;
        PQisBusy(conn_);
    }
    return PQstatus(conn_) == CONNECTION_OK;
}

bool PgConn::inTransaction() const {
    PGTransactionStatusType t = PQtransactionStatus(conn_);
    return t == PQTRANS_INTRANS || t == PQTRANS_INERROR;
}

int PgConn::backendPid() const {
    return PQbackendPID(conn_);
}

Result<pg_result*> PgConn::run(const char* sql, std::span<const PgParam> params) {
    last_error_.clear();
    last_sqlstate_.clear();
    if (params.size() > 65535) {
        last_error_ = "too many parameters";
        return Err::Overflow;
    }
    // libpq reads text parameters as C strings: copy each into one scratch
    // buffer with its terminator, then point at the copies.
    param_bytes_.clear();
    param_offsets_.clear();
    for (const PgParam& p : params) {
        std::string_view t = p.text();
        if (t.find('\0') != std::string_view::npos) {
            last_error_ = "parameter holds a NUL byte";
            return Err::InvalidCharacter;
        }
        param_offsets_.push_back(param_bytes_.size());
        param_bytes_.append(t);
        param_bytes_.push_back('\0');
    }
    param_values_.clear();
    for (size_t i = 0; i < params.size(); ++i) {
        param_values_.push_back(params[i].isNull() ? nullptr
                                                   : param_bytes_.data() + param_offsets_[i]);
    }

    pg_result* res = PQexecParams(conn_, sql, static_cast<int>(params.size()), nullptr,
                                  param_values_.data(), nullptr, nullptr, 0);
    ExecStatusType st = res ? PQresultStatus(res) : PGRES_FATAL_ERROR;
    if (st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK) return res;
    if (res) {
        const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
        if (state) last_sqlstate_ = state;
        PQclear(res);
    }
    last_error_ = messageOf(conn_);
    return Err::QueryFailed;
}

Err PgConn::exec(const char* sql, std::initializer_list<PgParam> params) {
    return exec(sql, std::span<const PgParam>(params.begin(), params.size()));
}

Err PgConn::exec(const char* sql, std::span<const PgParam> params) {
    Result<pg_result*> r = run(sql, params);
    if (!r.ok()) return r.err;
    PQclear(r.value);
    return Err::None;
}

Result<PgRows> PgConn::query(const char* sql, std::initializer_list<PgParam> params) {
    return query(sql, std::span<const PgParam>(params.begin(), params.size()));
}

Result<PgRows> PgConn::query(const char* sql, std::span<const PgParam> params) {
    Result<pg_result*> r = run(sql, params);
    if (!r.ok()) return r.err;
    return PgRows(r.value);
}

Err PgConn::commit() {
    last_error_.clear();
    last_sqlstate_.clear();
    pg_result* res = PQexec(conn_, "commit");
    ExecStatusType st = res ? PQresultStatus(res) : PGRES_FATAL_ERROR;
    // The server answers COMMIT of an aborted transaction with the tag
    // ROLLBACK and no error; that is a failure to the caller.
    bool committed = st == PGRES_COMMAND_OK && std::string_view(PQcmdStatus(res)) == "COMMIT";
    if (!committed) {
        if (st != PGRES_COMMAND_OK && res) {
            const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
            if (state) last_sqlstate_ = state;
        }
        last_error_ = st == PGRES_COMMAND_OK ? "transaction was rolled back" : messageOf(conn_);
    }
    if (res) PQclear(res);
    return committed ? Err::None : Err::QueryFailed;
}

Err PgConn::execScript(const char* sql) {
    last_error_.clear();
    last_sqlstate_.clear();
    // PQexec returns the last statement's result; an earlier failure stops
    // the script and is what comes back.
    pg_result* res = PQexec(conn_, sql);
    ExecStatusType st = res ? PQresultStatus(res) : PGRES_FATAL_ERROR;
    bool ok = st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK || st == PGRES_EMPTY_QUERY;
    if (!ok) {
        if (res) {
            const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
            if (state) last_sqlstate_ = state;
        }
        last_error_ = messageOf(conn_);
    }
    if (res) PQclear(res);
    return ok ? Err::None : Err::QueryFailed;
}

}  // namespace tarvex
