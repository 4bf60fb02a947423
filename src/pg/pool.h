// pool.h: the fixed-size pool of database connections.
//
// PgPool opens all of its connections when it is created (any failure fails
// creation) and hands them out one thread at a time. `acquire` takes an idle
// connection, waiting for a release up to the acquire timeout (10 s) and then
// failing with Timeout; when every connection is awaiting re-opening it fails
// at once with PoolExhausted. An idle connection whose session the server
// has ended meanwhile (a restart, an administrator) is noticed before it is
// handed out and replaced, so the caller's statement does not fail for it.
// `release` gives a connection back: a healthy one is reused (a transaction
// left open is rolled back first, so no caller inherits another's
// transaction); a broken one is closed and re-opened at once. When a re-open
// fails the pool counts it as pending and a single background reconnector
// thread retries every 2 s until every pending connection is back.
//
// Thread-safe: any thread may acquire, release, exec and query at any time;
// a mutex and a condition guard the idle stack. Every lease must be released
// before the pool is destroyed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/error.h"
#include "pg/conn.h"
#include "pg/url.h"

namespace tarvex {

struct PgPoolOptions {
    u32 size = 4;
    u32 acquire_timeout_ms = 10000;
    u32 reconnect_interval_ms = 2000;
};

class PgPool;

// A connection taken from the pool, given back when the lease ends.
class PgLease {
  public:
    PgLease() = default;
    PgLease(PgPool* pool, PgConn* conn) : pool_(pool), conn_(conn) {}
    PgLease(PgLease&& o) noexcept;
    PgLease& operator=(PgLease&& o) noexcept;
    PgLease(const PgLease&) = delete;
    PgLease& operator=(const PgLease&) = delete;
    ~PgLease() { release(); }

    PgConn* operator->() const { return conn_; }
    PgConn& operator*() const { return *conn_; }
    PgConn* get() const { return conn_; }
    // Gives the connection back now (no-op when already given back).
    void release();

  private:
    PgPool* pool_ = nullptr;
    PgConn* conn_ = nullptr;
};

class PgPool {
  public:
    // Parses `url` (see pg/url.h) and opens the pool. Errors: those of
    // parsePgUrl, or ConnectionFailed when any connection cannot be opened.
    static Result<std::unique_ptr<PgPool>> create(std::string_view url,
                                                  PgPoolOptions pool_options = {});
    static Result<std::unique_ptr<PgPool>> create(const PgConnOptions& options,
                                                  PgPoolOptions pool_options = {});

    ~PgPool();
    PgPool(const PgPool&) = delete;
    PgPool& operator=(const PgPool&) = delete;

    // Takes an idle connection: Timeout after the acquire timeout,
    // PoolExhausted when every connection awaits re-opening,
    // ConnectionFailed once the pool is closed.
    Result<PgConn*> acquire();
    // Gives back a connection obtained from acquire().
    void release(PgConn* conn);
    // acquire() wrapped in a lease that releases itself.
    Result<PgLease> lease();

    // Acquires, runs one statement with parameters, releases. Returns the
    // error of whichever step failed.
    Err exec(const char* sql, std::initializer_list<PgParam> params = {});
    Err exec(const char* sql, std::span<const PgParam> params);
    // Acquires, runs one statement and returns its rows. The rows are
    // complete when this returns, and the connection is already back.
    Result<PgRows> query(const char* sql, std::initializer_list<PgParam> params = {});
    Result<PgRows> query(const char* sql, std::span<const PgParam> params);

    // Closes every idle connection and stops the reconnector; connections
    // still leased are closed when released. Idempotent.
    void close();

    u32 size() const { return size_; }
    // Idle connections right now.
    u32 idleCount() const;
    // Connections awaiting re-opening by the reconnector.
    u32 pendingReopens() const;
    // The library's reason for the most recent failed connect ("" if none).
    std::string lastConnectError() const;

  private:
    PgPool(const PgConnOptions& options, PgPoolOptions pool_options);
    Result<std::unique_ptr<PgConn>> openOne();
    // Pops an idle connection, waiting until `deadline`.
    Result<PgConn*> takeIdle(std::chrono::steady_clock::time_point deadline);
    // Closes a broken connection and opens its replacement, or counts it
    // as pending for the reconnector.
    void replaceBroken(std::unique_ptr<PgConn> conn);
    // Starts the reconnector if re-opens are pending and none runs. Holds mu_.
    void startReconnectorLocked();
    void reconnectLoop();

    const PgConnOptions options_;
    const u32 size_;
    const u32 acquire_timeout_ms_;
    const u32 reconnect_interval_ms_;

    mutable std::mutex mu_;
    std::condition_variable available_;          // a connection was pushed back
    std::condition_variable reconnect_wake_;     // close() stops the reconnector
    std::vector<std::unique_ptr<PgConn>> idle_;  // stack of idle connections
    u32 pending_ = 0;                            // broken, awaiting re-opening
    bool closed_ = false;
    bool reconnector_running_ = false;
    std::thread reconnector_;
    std::string last_connect_error_;
};

}  // namespace tarvex
