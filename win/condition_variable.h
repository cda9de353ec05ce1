// A condition variable for waits under an SrwLock held exclusively.
#pragma once

#include <windows.h>

#include "win/srw_lock.h"
#include "win/thread_annotations.h"

namespace quorvex {

class ConditionVariable {
public:
    ConditionVariable() noexcept = default;
    ConditionVariable(const ConditionVariable&) = delete;
    ConditionVariable& operator=(const ConditionVariable&) = delete;

    // Gives `lock` up while asleep and holds it again on return. A wake-up
    // may come without a cause: callers wait in a loop on their condition.
    void Wait(SrwLock& lock) noexcept REQUIRES(lock)
    {
        ::SleepConditionVariableSRW(&condition_, &lock.lock_, INFINITE, 0);
    }
    void WakeAll() noexcept { ::WakeAllConditionVariable(&condition_); }

private:
    CONDITION_VARIABLE condition_ = CONDITION_VARIABLE_INIT;
};

}  // namespace quorvex
