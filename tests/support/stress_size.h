// Sizes of the stress and fuzz suites. The test command runs them small; the
// large runs (tools/stress) set QUORVEX_STRESS=large. Every randomised suite
// takes its seed from QUORVEX_STRESS_SEED when set, so a failing case can be
// replayed exactly.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace quorvex::test {

bool LargeStressRun() noexcept;

// `small` inside the test command, `large` in a large run.
std::size_t StressCount(std::size_t small, std::size_t large) noexcept;

// The seed of this run: QUORVEX_STRESS_SEED, or `fallback` so that plain test
// runs are repeatable.
std::uint32_t StressSeed(std::uint32_t fallback) noexcept;

// A time bound for a randomised loop, so that a slow machine ends the run
// early rather than hitting the test time-out; the case count still reports
// how far it got.
class StressBudget {
public:
    StressBudget(std::chrono::seconds small, std::chrono::seconds large) noexcept;
    bool Expired() const noexcept { return std::chrono::steady_clock::now() >= end_; }

private:
    std::chrono::steady_clock::time_point end_;
};

}  // namespace quorvex::test
