// Lock annotations that clang's -Wthread-safety checks: which lock guards a
// member, which locks a function needs or must not hold, and which types are
// locks and scoped guards. Under other compilers they expand to nothing, so
// the code stays portable; clang turns a read without the lock into an error.
#pragma once

#if defined(__clang__)
#define QV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QV_THREAD_ANNOTATION(x)
#endif

// A type that is a lock.
#define CAPABILITY(name) QV_THREAD_ANNOTATION(capability(name))
// An RAII type that holds a lock for its lifetime.
#define SCOPED_CAPABILITY QV_THREAD_ANNOTATION(scoped_lockable)
// A member read and written only with the lock held (reads: shared or exclusive).
#define GUARDED_BY(lock) QV_THREAD_ANNOTATION(guarded_by(lock))
// A pointer member whose pointee is read and written only with the lock held.
#define PT_GUARDED_BY(lock) QV_THREAD_ANNOTATION(pt_guarded_by(lock))
// The function is called with the lock held and leaves it held.
#define REQUIRES(...) QV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) QV_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
// The function takes the lock (or, on a guard, `this` takes it) and returns
// with it held; RELEASE gives it back.
#define ACQUIRE(...) QV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) QV_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) QV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) QV_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
// Releases a lock held either way (a guard's destructor).
#define RELEASE_GENERIC(...) QV_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
// The function takes the lock itself: calling it with the lock held would
// deadlock (SRW locks are not recursive).
#define EXCLUDES(...) QV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// The function returns the given lock (an accessor the analysis can see through).
#define RETURN_CAPABILITY(x) QV_THREAD_ANNOTATION(lock_returned(x))
// Tells the analysis the lock is held here, where it cannot see why.
#define ASSERT_CAPABILITY(x) QV_THREAD_ANNOTATION(assert_capability(x))
// The function is outside the analysis; say why wherever it is used.
#define NO_THREAD_SAFETY_ANALYSIS QV_THREAD_ANNOTATION(no_thread_safety_analysis)
