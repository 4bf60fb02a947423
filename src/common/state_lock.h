// state_lock.h: the lock over the engine state.
//
// One reader/writer lock with writer preference guards the engine tables
// (fingerprints, graph, activation map, streaks, alerts, event ring, pipeline
// counters and history). The listener thread holds it exclusively while it
// changes those tables for a batch of datagrams, never across blocking I/O.
// Readers (HTTP handlers) hold it shared only while they copy what they need
// into request-local memory. Writer preference keeps a stream of readers from
// starving the pipeline.
#pragma once

#include <pthread.h>

namespace tarvex {

class StateLock {
  public:
    StateLock() {
        pthread_rwlockattr_t attr;
        pthread_rwlockattr_init(&attr);
        pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
        pthread_rwlock_init(&lock_, &attr);
        pthread_rwlockattr_destroy(&attr);
    }
    ~StateLock() { pthread_rwlock_destroy(&lock_); }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

    void lockExclusive() { pthread_rwlock_wrlock(&lock_); }
    void unlockExclusive() { pthread_rwlock_unlock(&lock_); }
    void lockShared() { pthread_rwlock_rdlock(&lock_); }
    void unlockShared() { pthread_rwlock_unlock(&lock_); }

  private:
    pthread_rwlock_t lock_;
};

// Holds the lock shared for its scope (readers).
class SharedGuard {
  public:
    explicit SharedGuard(StateLock& l) : l_(l) { l_.lockShared(); }
    ~SharedGuard() { l_.unlockShared(); }
    SharedGuard(const SharedGuard&) = delete;
    SharedGuard& operator=(const SharedGuard&) = delete;

  private:
    StateLock& l_;
};

// Holds the lock exclusively for its scope (the pipeline, the restore).
class ExclusiveGuard {
  public:
    explicit ExclusiveGuard(StateLock& l) : l_(l) { l_.lockExclusive(); }
    ~ExclusiveGuard() { l_.unlockExclusive(); }
    ExclusiveGuard(const ExclusiveGuard&) = delete;
    ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;

  private:
    StateLock& l_;
};

}  // namespace tarvex
