// A critical section owner usable with std::lock_guard.
#pragma once

#include <windows.h>

#include "win/thread_annotations.h"

namespace quorvex {

// A critical section that reports whether it could be initialised, so the
// module can refuse to load instead of running with an unusable lock.
class CAPABILITY("lock") CriticalSection {
public:
    CriticalSection() noexcept { ok_ = ::InitializeCriticalSectionAndSpinCount(&cs_, 0) != FALSE; }
    ~CriticalSection()
    {
        if (ok_) ::DeleteCriticalSection(&cs_);
    }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    bool initialised() const noexcept { return ok_; }
    void lock() noexcept ACQUIRE() { ::EnterCriticalSection(&cs_); }
    void unlock() noexcept RELEASE() { ::LeaveCriticalSection(&cs_); }

private:
    CRITICAL_SECTION cs_{};
    bool ok_ = false;
};

}  // namespace quorvex
