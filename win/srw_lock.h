// A slim reader/writer lock and its scoped guards: cheaper than std::mutex on
// this platform, never allocates, and cannot fail. The guards are annotated
// (win/thread_annotations.h), so clang checks every member marked
// GUARDED_BY a lock of this kind; std::lock_guard is not, and would hide the
// lock from the analysis.
#pragma once

#include <windows.h>

#include "win/thread_annotations.h"

namespace quorvex {

class CAPABILITY("lock") SrwLock {
public:
    SrwLock() noexcept = default;
    SrwLock(const SrwLock&) = delete;
    SrwLock& operator=(const SrwLock&) = delete;

    void lock() noexcept ACQUIRE() { ::AcquireSRWLockExclusive(&lock_); }
    void unlock() noexcept RELEASE() { ::ReleaseSRWLockExclusive(&lock_); }
    void lock_shared() noexcept ACQUIRE_SHARED() { ::AcquireSRWLockShared(&lock_); }
    void unlock_shared() noexcept RELEASE_SHARED() { ::ReleaseSRWLockShared(&lock_); }

private:
    friend class ConditionVariable;
    SRWLOCK lock_ = SRWLOCK_INIT;
};

// Holds the lock exclusively for its scope.
class SCOPED_CAPABILITY ExclusiveLock {
public:
    explicit ExclusiveLock(SrwLock& lock) noexcept ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
    ~ExclusiveLock() RELEASE() { lock_.unlock(); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    SrwLock& lock_;
};

// Holds the lock shared for its scope: readers only.
class SCOPED_CAPABILITY SharedLock {
public:
    explicit SharedLock(SrwLock& lock) noexcept ACQUIRE_SHARED(lock) : lock_(lock) { lock_.lock_shared(); }
    ~SharedLock() RELEASE() { lock_.unlock_shared(); }
    SharedLock(const SharedLock&) = delete;
    SharedLock& operator=(const SharedLock&) = delete;

private:
    SrwLock& lock_;
};

}  // namespace quorvex
