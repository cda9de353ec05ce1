// The process-wide log state: where lines go, the resolved log path and the
// indentation width, plus the lock that keeps each record operation whole.
//
// Shared by the logging files and their tests; callers elsewhere use log.h.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "logging/printf_like.h"

namespace quorvex {

enum class LogStream { None, StandardOutput, File };

// One counter for the whole process: the trace scopes of every thread raise
// and lower it, so concurrent traced routines add to each other's indentation.
extern std::atomic<int> g_indentationWidth;

// Record operations format into per-call buffers; this lock serialises what
// they share (the stream, the resolved path, the opening of the fallback file)
// and keeps the seek, write and flush of one line together.
class LogLockGuard {
public:
    LogLockGuard() noexcept;
    ~LogLockGuard();
    LogLockGuard(const LogLockGuard&) = delete;
    LogLockGuard& operator=(const LogLockGuard&) = delete;
};

// The functions named ...Locked expect the caller to hold LogLockGuard.
LogStream CurrentLogStreamLocked() noexcept;
void SetStandardOutputStreamLocked() noexcept;
// Takes ownership of the open file.
void SetFileStreamLocked(FILE* file) noexcept;
// Closes an open file; standard-output mode stays.
void CloseLogFileLocked() noexcept;
std::string& ResolvedLogPathLocked() noexcept;
// Writes one finished line (line feed included) to the stream.
void WriteLineLocked(const char* line) noexcept;

bool OpenLogLocked(const char* logPath, int requestedLevel);
void OpenUnknownFileLocked();
// A plain record whose indentation is the current width plus widthAdjust.
bool WritePlainRecordLocked(int widthAdjust, const char* format, va_list args);
bool WritePlainLocked(int widthAdjust, const char* format, ...) QV_PRINTF_LIKE(2, 3);

// Read-only views for diagnostics and tests.
LogStream CurrentLogStream() noexcept;
std::string ResolvedLogPath();
inline int IndentationWidth() noexcept { return g_indentationWidth.load(std::memory_order_relaxed); }

// Back to the state before any configuration: no stream (an open file is
// closed), empty resolved path, width 0, level 1. For test programs only.
void ResetLogStateForTests() noexcept;

}  // namespace quorvex
