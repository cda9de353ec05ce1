// The current log level, read by every caller before it formats a record.
#pragma once

#include <atomic>

namespace quorvex {

// 0 = no records, 1 = errors (the level before any configuration), 2 = notices,
// 3 and 4 = trace and step records.
inline std::atomic<int> g_currentLogLevel{1};
inline constexpr int kHighestLogLevel = 4;

inline bool LogLevelReached(int level) noexcept { return g_currentLogLevel.load(std::memory_order_relaxed) >= level; }

inline int CurrentLogLevel() noexcept { return g_currentLogLevel.load(std::memory_order_relaxed); }
inline void SetCurrentLogLevel(int level) noexcept { g_currentLogLevel.store(level, std::memory_order_relaxed); }

}  // namespace quorvex
