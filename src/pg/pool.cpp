// pool.cpp: acquire, release, re-opening and the background reconnector.
#include "pg/pool.h"

#include <chrono>
#include <system_error>
#include <utility>

#include "common/log.h"
#include "common/thread.h"

namespace tarvex {

PgLease::PgLease(PgLease&& o) noexcept
    : pool_(std::exchange(o.pool_, nullptr)), conn_(std::exchange(o.conn_, nullptr)) {}

PgLease& PgLease::operator=(PgLease&& o) noexcept {
    if (this != &o) {
        release();
        pool_ = std::exchange(o.pool_, nullptr);
        conn_ = std::exchange(o.conn_, nullptr);
    }
    return *this;
}

void PgLease::release() {
    if (pool_ && conn_) pool_->release(conn_);
    pool_ = nullptr;
    conn_ = nullptr;
}

PgPool::PgPool(const PgConnOptions& options, PgPoolOptions pool_options)
    : options_(options),
      size_(pool_options.size),
      acquire_timeout_ms_(pool_options.acquire_timeout_ms),
      reconnect_interval_ms_(pool_options.reconnect_interval_ms) {}

Result<std::unique_ptr<PgPool>> PgPool::create(std::string_view url, PgPoolOptions pool_options) {
    Result<PgConnOptions> o = parsePgUrl(url);
    if (!o.ok()) return o.err;
    return create(o.value, pool_options);
}

Result<std::unique_ptr<PgPool>> PgPool::create(const PgConnOptions& options,
                                               PgPoolOptions pool_options) {
    if (pool_options.size == 0) return Err::PoolExhausted;
    std::unique_ptr<PgPool> pool(new PgPool(options, pool_options));
    pool->idle_.reserve(pool_options.size);
    for (u32 i = 0; i < pool_options.size; ++i) {
        Result<std::unique_ptr<PgConn>> c = pool->openOne();
        if (!c.ok()) return c.err;
        pool->idle_.push_back(std::move(c.value));
    }
    return pool;
}

PgPool::~PgPool() {
    close();
}

Result<std::unique_ptr<PgConn>> PgPool::openOne() {
    std::string why;
    Result<std::unique_ptr<PgConn>> c = PgConn::open(options_, &why);
    if (!c.ok()) {
        std::lock_guard<std::mutex> l(mu_);
        last_connect_error_ = std::move(why);
    }
    return c;
}

Result<PgConn*> PgPool::acquire() {
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(acquire_timeout_ms_);
    for (;;) {
        Result<PgConn*> c = takeIdle(deadline);
        if (!c.ok() || c.value->alive()) return c;
        // The server ended this session while it sat idle: replace it and
        // take whatever is idle next (the replacement, as a rule).
        replaceBroken(std::unique_ptr<PgConn>(c.value));
    }
}

Result<PgConn*> PgPool::takeIdle(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> l(mu_);
    for (;;) {
        if (closed_) return Err::ConnectionFailed;
        if (!idle_.empty()) {
            PgConn* c = idle_.back().release();
            idle_.pop_back();
            return c;
        }
        if (pending_ >= size_) return Err::PoolExhausted;
        // A reconnector that could not be started earlier gets another try.
        if (pending_ > 0 && !reconnector_running_) startReconnectorLocked();
        if (available_.wait_until(l, deadline) == std::cv_status::timeout) {
            if (!idle_.empty() || closed_) continue;
            if (pending_ >= size_) return Err::PoolExhausted;
            return Err::Timeout;
        }
    }
}

Result<PgLease> PgPool::lease() {
    Result<PgConn*> c = acquire();
    if (!c.ok()) return c.err;
    return PgLease(this, c.value);
}

void PgPool::release(PgConn* raw) {
    if (!raw) return;
    std::unique_ptr<PgConn> c(raw);
    // A caller that gave back a connection inside a transaction (after a
    // failed statement, say) must not hand it to the next caller.
    if (!c->broken() && c->inTransaction()) c->rollback();
    bool healthy = !c->broken() && !c->inTransaction();
    {
        std::lock_guard<std::mutex> l(mu_);
        if (closed_) return;
        if (healthy) {
            idle_.push_back(std::move(c));
            available_.notify_one();
            return;
        }
    }

    replaceBroken(std::move(c));
}

void PgPool::replaceBroken(std::unique_ptr<PgConn> c) {
    // Close it and open a replacement at once, outside the lock.
    c.reset();
    Result<std::unique_ptr<PgConn>> fresh = openOne();
    std::lock_guard<std::mutex> l(mu_);
    if (closed_) return;
    if (fresh.ok()) {
        idle_.push_back(std::move(fresh.value));
        available_.notify_one();
        return;
    }
    ++pending_;
    if (!reconnector_running_) startReconnectorLocked();
    // Waiters re-check: with every connection pending they fail at once.
    available_.notify_all();
}

void PgPool::startReconnectorLocked() {
    if (closed_ || reconnector_running_ || pending_ == 0) return;
    // A previous reconnector has already cleared its flag and let go of the
    // lock for good; joining it here cannot deadlock.
    if (reconnector_.joinable()) reconnector_.join();
    try {
        reconnector_ = std::thread(&PgPool::reconnectLoop, this);
        reconnector_running_ = true;
    } catch (const std::system_error& e) {
        Err why = errFromErrno(e.code().value());
        if (why == Err::WouldBlock || why == Err::Unexpected) why = Err::ThreadQuotaExceeded;
        logError(
            "pg",
            "Re-opening connection failed ({}) and background reconnector failed to start ({})",
            Err::ConnectionFailed, why);
    }
}

void PgPool::reconnectLoop() {
    nameThisThread("tarvex-pg-retry");
    std::unique_lock<std::mutex> l(mu_);
    while (!closed_ && pending_ > 0) {
        reconnect_wake_.wait_for(l, std::chrono::milliseconds(reconnect_interval_ms_),
                                 [this] { return closed_; });
        // Each round tries every pending connection until one fails.
        while (!closed_ && pending_ > 0) {
            l.unlock();
            Result<std::unique_ptr<PgConn>> fresh = openOne();
            l.lock();
            if (!fresh.ok()) break;
            if (closed_) {
                l.unlock();
                fresh.value.reset();
                l.lock();
                break;
            }
            idle_.push_back(std::move(fresh.value));
            --pending_;
            available_.notify_one();
        }
    }
    reconnector_running_ = false;
}

void PgPool::close() {
    std::vector<std::unique_ptr<PgConn>> idle;
    std::thread reconnector;
    {
        std::lock_guard<std::mutex> l(mu_);
        closed_ = true;
        idle.swap(idle_);
        reconnector = std::move(reconnector_);
        available_.notify_all();
        reconnect_wake_.notify_all();
    }
    if (reconnector.joinable()) reconnector.join();
    idle.clear();
}

u32 PgPool::idleCount() const {
    std::lock_guard<std::mutex> l(mu_);
    return static_cast<u32>(idle_.size());
}

u32 PgPool::pendingReopens() const {
    std::lock_guard<std::mutex> l(mu_);
    return pending_;
}

std::string PgPool::lastConnectError() const {
    std::lock_guard<std::mutex> l(mu_);
    return last_connect_error_;
}

Err PgPool::exec(const char* sql, std::initializer_list<PgParam> params) {
    return exec(sql, std::span<const PgParam>(params.begin(), params.size()));
}

Err PgPool::exec(const char* sql, std::span<const PgParam> params) {
    Result<PgLease> l = lease();
    if (!l.ok()) return l.err;
    return l.value->exec(sql, params);
}

Result<PgRows> PgPool::query(const char* sql, std::initializer_list<PgParam> params) {
    return query(sql, std::span<const PgParam>(params.begin(), params.size()));
}

Result<PgRows> PgPool::query(const char* sql, std::span<const PgParam> params) {
    Result<PgLease> l = lease();
    if (!l.ok()) return l.err;
    return l.value->query(sql, params);
}

}  // namespace tarvex
