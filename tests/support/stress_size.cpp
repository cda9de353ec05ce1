#include "stress_size.h"

#include <cstdlib>
#include <cstring>

namespace quorvex::test {

bool LargeStressRun() noexcept
{
    const char* value = std::getenv("QUORVEX_STRESS");
    return value && std::strcmp(value, "large") == 0;
}

std::size_t StressCount(std::size_t small, std::size_t large) noexcept { return LargeStressRun() ? large : small; }

std::uint32_t StressSeed(std::uint32_t fallback) noexcept
{
    const char* value = std::getenv("QUORVEX_STRESS_SEED");
    if (!value || !*value) return fallback;
    return static_cast<std::uint32_t>(std::strtoul(value, nullptr, 0));
}

StressBudget::StressBudget(std::chrono::seconds small, std::chrono::seconds large) noexcept
    : end_(std::chrono::steady_clock::now() + (LargeStressRun() ? large : small))
{
}

}  // namespace quorvex::test
