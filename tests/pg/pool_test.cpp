// The pool under load and under failure: contention, the acquire timeout,
// broken connections re-opened at release, the background reconnector and
// PoolExhausted.
#include "pg/pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "pg/test_db.h"
#include "support/log_capture.h"

namespace tarvex {
namespace {

using Clock = std::chrono::steady_clock;

i64 msSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// Ends the server sessions of the given backends from another connection.
void terminateBackends(PgConn& admin, const std::vector<int>& pids) {
    for (int pid : pids) {
        Result<PgRows> r = admin.query("SELECT pg_terminate_backend($1)", {pid});
        ASSERT_TRUE(r.ok()) << admin.lastError();
        ASSERT_TRUE(r.value.next());
        ASSERT_TRUE(r.value.getBool(0).value) << "backend " << pid << " terminated";
    }
    // Wait until the server has really let go of them.
    std::string list = "{";
    for (size_t k = 0; k < pids.size(); ++k) {
        if (k) list += ',';
        list += std::to_string(pids[k]);
    }
    list += "}";
    for (int i = 0; i < 100; ++i) {
        Result<PgRows> r =
            admin.query("SELECT count(*) FROM pg_stat_activity WHERE pid = ANY($1::int[])", {list});
        if (r.ok() && r.value.next() && r.value.getI64(0).value == 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    FAIL() << "terminated backends still listed";
}

TEST(PgPoolConcurrency, ContendedAcquireNeverSharesAConnection) {
    TARVEX_PG_URL_OR_SKIP(scram, "TARVEX_TEST_PG_SCRAM_URL");
    Result<std::unique_ptr<PgPool>> pool = PgPool::create(scram);
    ASSERT_TRUE(pool.ok());
    ASSERT_EQ(pool.value->size(), 4u);

    constexpr int kThreads = 12;
    constexpr int kRounds = 20;
    std::atomic<int> held{0};
    std::atomic<int> max_held{0};
    std::atomic<int> failures{0};
    std::mutex owners_mu;
    std::map<PgConn*, int> owners;  // connection -> thread holding it
    std::set<int> backends;

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                Result<PgLease> c = pool.value->lease();
                if (!c.ok()) {
                    failures++;
                    continue;
                }
                int now = ++held;
                int seen = max_held.load();
                while (now > seen && !max_held.compare_exchange_weak(seen, now)) {
                }
                {
                    std::lock_guard<std::mutex> l(owners_mu);
                    if (owners.count(c.value.get()) && owners[c.value.get()] != -1) failures++;
                    owners[c.value.get()] = t;
                    backends.insert(c.value->backendPid());
                }
                // Hold it across a round trip so that threads really overlap.
                Result<PgRows> r = c.value->query("SELECT $1::int + 1, pg_sleep(0.002)", {t});
                if (!r.ok() || !r.value.next() || r.value.getI32(0).value != t + 1) failures++;
                {
                    std::lock_guard<std::mutex> l(owners_mu);
                    owners[c.value.get()] = -1;
                }
                --held;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_LE(max_held.load(), 4) << "never more holders than connections";
    EXPECT_EQ(max_held.load(), 4) << "contention really reached every connection";
    EXPECT_EQ(backends.size(), 4u) << "the same four sessions served every thread";
    EXPECT_EQ(pool.value->idleCount(), 4u);
}

TEST(PgPoolConcurrency, AcquireWaitsForAReleaseThenTimesOut) {
    TARVEX_PG_URL_OR_SKIP(scram, "TARVEX_TEST_PG_SCRAM_URL");
    Result<std::unique_ptr<PgPool>> pool =
        PgPool::create(scram, {.size = 2, .acquire_timeout_ms = 300});
    ASSERT_TRUE(pool.ok());
    Result<PgConn*> a = pool.value->acquire();
    Result<PgConn*> b = pool.value->acquire();
    ASSERT_TRUE(a.ok() && b.ok());

    // Nobody releases: Timeout after the wait, not before and not much after.
    auto t0 = Clock::now();
    Result<PgConn*> none = pool.value->acquire();
    i64 waited = msSince(t0);
    EXPECT_EQ(none.err, Err::Timeout);
    EXPECT_GE(waited, 290);
    EXPECT_LT(waited, 2000);

    // A release while waiting hands that very connection to the waiter.
    PgConn* given = a.value;
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pool.value->release(given);
    });
    t0 = Clock::now();
    Result<PgConn*> got = pool.value->acquire();
    waited = msSince(t0);
    releaser.join();
    ASSERT_TRUE(got.ok()) << errName(got.err);
    EXPECT_EQ(got.value, given);
    EXPECT_GE(waited, 80);
    EXPECT_LT(waited, 290) << "woken by the release, not by the timeout";
    pool.value->release(got.value);
    pool.value->release(b.value);
    EXPECT_EQ(pool.value->idleCount(), 2u);
}

TEST(PgPool, BrokenConnectionIsReopenedAtRelease) {
    TARVEX_PG_URL_OR_SKIP(scram, "TARVEX_TEST_PG_SCRAM_URL");
    auto admin = test::connectOrFail(scram);
    ASSERT_TRUE(admin);
    Result<std::unique_ptr<PgPool>> pool = PgPool::create(scram, {.size = 2});
    ASSERT_TRUE(pool.ok());
    PgPool& p = *pool.value;

    Result<PgConn*> c = p.acquire();
    ASSERT_TRUE(c.ok());
    int old_pid = c.value->backendPid();
    terminateBackends(*admin, {old_pid});
    EXPECT_EQ(c.value->exec("SELECT 1"), Err::QueryFailed) << "the session is gone";
    EXPECT_TRUE(c.value->broken());
    p.release(c.value);
    EXPECT_EQ(p.idleCount(), 2u) << "replaced at once";
    EXPECT_EQ(p.pendingReopens(), 0u);

    // Both connections work, and neither is the terminated session.
    Result<PgConn*> x = p.acquire();
    Result<PgConn*> y = p.acquire();
    ASSERT_TRUE(x.ok() && y.ok());
    for (PgConn* conn : {x.value, y.value}) {
        EXPECT_EQ(conn->exec("SELECT 1"), Err::None);
        EXPECT_NE(conn->backendPid(), old_pid);
    }
    p.release(x.value);
    p.release(y.value);
}

TEST(PgPool, IdleSessionEndedByTheServerIsReplacedBeforeUse) {
    TARVEX_PG_URL_OR_SKIP(scram, "TARVEX_TEST_PG_SCRAM_URL");
    auto admin = test::connectOrFail(scram);
    ASSERT_TRUE(admin);
    Result<std::unique_ptr<PgPool>> pool = PgPool::create(scram, {.size = 1});
    ASSERT_TRUE(pool.ok());
    auto backend = [&] {
        Result<PgRows> r = pool.value->query("SELECT pg_backend_pid()");
        EXPECT_TRUE(r.ok()) << "the first statement after the session ended succeeds";
        return r.ok() && r.value.next() ? r.value.getI32(0).value : 0;
    };
    int old_pid = backend();
    ASSERT_NE(old_pid, 0);
    terminateBackends(*admin, {old_pid});
    // The server has dropped the session; give its closing of the socket a
    // moment to arrive, as it long has when a server restarts between uses.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int new_pid = backend();
    EXPECT_NE(new_pid, 0);
    EXPECT_NE(new_pid, old_pid);
    EXPECT_EQ(pool.value->idleCount(), 1u);
}

TEST(PgPool, ReconnectorRestoresConnectionsAfterAnOutage) {
    TARVEX_PG_URL_OR_SKIP(scram, "TARVEX_TEST_PG_SCRAM_URL");
    test::ScratchDatabase db(scram, "reconnect");
    ASSERT_TRUE(db.ok());
    Result<std::unique_ptr<PgPool>> pool = PgPool::create(
        db.url(), {.size = 2, .acquire_timeout_ms = 5000, .reconnect_interval_ms = 100});
    ASSERT_TRUE(pool.ok());
    PgPool& p = *pool.value;
    PgConn& admin = db.admin();

    // The database stops accepting sessions and both of ours are ended.
    std::string block = "ALTER DATABASE " + db.name() + " ALLOW_CONNECTIONS false";
    std::string unblock = "ALTER DATABASE " + db.name() + " ALLOW_CONNECTIONS true";
    ASSERT_EQ(admin.execScript(block.c_str()), Err::None) << admin.lastError();
    Result<PgConn*> a = p.acquire();
    Result<PgConn*> b = p.acquire();
    ASSERT_TRUE(a.ok() && b.ok());
    terminateBackends(admin, {a.value->backendPid(), b.value->backendPid()});

    test::LogCapture log;
    EXPECT_NE(a.value->exec("SELECT 1"), Err::None);
    p.release(a.value);
    EXPECT_EQ(p.pendingReopens(), 1u) << "re-open at release failed";
    EXPECT_TRUE(log.has("error(pg): connect error: ConnectionFailed"));
    EXPECT_NE(b.value->exec("SELECT 1"), Err::None);
    p.release(b.value);
    EXPECT_EQ(p.pendingReopens(), 2u);

    // Every connection awaits re-opening: acquire fails at once.
    auto t0 = Clock::now();
    EXPECT_EQ(p.acquire().err, Err::PoolExhausted);
    EXPECT_LT(msSince(t0), 100) << "no waiting when nothing can come back";

    // The reconnector keeps trying while the outage lasts.
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    EXPECT_EQ(p.pendingReopens(), 2u);
    EXPECT_EQ(p.idleCount(), 0u);

    // Once the database is back, the reconnector restores every connection.
    ASSERT_EQ(admin.execScript(unblock.c_str()), Err::None) << admin.lastError();
    for (int i = 0; i < 100 && p.pendingReopens() > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(p.pendingReopens(), 0u);
    EXPECT_EQ(p.idleCount(), 2u) << "every pending connection is back";
    EXPECT_EQ(p.exec("SELECT 1"), Err::None);
    EXPECT_FALSE(log.hasSubstring("background reconnector failed to start"));
    p.close();
    EXPECT_EQ(p.acquire().err, Err::ConnectionFailed) << "a closed pool hands out nothing";
}

}  // namespace
}  // namespace tarvex
