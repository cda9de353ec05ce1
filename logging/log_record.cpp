#include "logging/log_record.h"

#include <windows.h>

#include <new>

#include "logging/log_state.h"
#include "logging/record_buffer.h"
#include "logging/record_prefix.h"
#include "win/hresult.h"

namespace quorvex {

namespace {

// Ends the line with its line feed and hands it to the stream and the debugger.
bool FinishLineLocked(char* line, int length) noexcept
{
    line[length] = '\n';
    line[length + 1] = '\0';
    WriteLineLocked(line);
    ::OutputDebugStringA(line);
    return true;
}

// A record finding no stream opens the fallback file first.
bool EnsureStreamLocked()
{
    if (CurrentLogStreamLocked() == LogStream::None) OpenUnknownFileLocked();
    return CurrentLogStreamLocked() != LogStream::None;
}

// The message is inserted as a text argument, so a percent sign inside it
// reaches the line unchanged.
bool WriteLocatedRecordLocked(const TraceScope& scope, int widthAdjust, const char* message)
{
    if (!EnsureStreamLocked()) return false;
    const int width = g_indentationWidth.load(std::memory_order_relaxed) + widthAdjust;
    const RecordClock clock = CurrentRecordClock();
    const int thread = static_cast<int>(::GetCurrentThreadId());
    char line[kRecordBufferSize] = {};
    int length = 0;
    if (scope.sourceFile != nullptr) {
        length = FormatBounded(line, kLineLimit, "%02d:%02d:%02d.%03d [%04d] %*s%s:%d   %s", clock.hour, clock.minute,
                               clock.second, clock.millisecond, thread, width, "", scope.sourceFile, scope.line,
                               message);
    } else {
        length = FormatBounded(line, kLineLimit, "%02d:%02d:%02d.%03d [%04d] %*s%s", clock.hour, clock.minute,
                               clock.second, clock.millisecond, thread, width, "", message);
    }
    return FinishLineLocked(line, length);
}

}  // namespace

bool WritePlainRecordLocked(int widthAdjust, const char* format, va_list args)
{
    if (!EnsureStreamLocked()) return false;
    // Read after the fallback open, which resets the width.
    const int width = g_indentationWidth.load(std::memory_order_relaxed) + widthAdjust;
    char line[kRecordBufferSize] = {};
    int length = FormatRecordPrefix(line, CurrentRecordClock(), ::GetCurrentThreadId(), width);
    length += FormatBoundedV(line + length, kLineLimit - length, format, args);
    return FinishLineLocked(line, length);
}

bool WritePlainLocked(int widthAdjust, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const bool written = WritePlainRecordLocked(widthAdjust, format, args);
    va_end(args);
    return written;
}

bool LogPlain(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    // Opening the fallback file can run out of memory; a record never throws.
    const bool written = NoThrowOr(false, [&] {
        LogLockGuard lock;
        return WritePlainRecordLocked(0, format, args);
    });
    va_end(args);
    return written;
}

bool LogLocated(TraceScope& scope, const char* format, ...)
{
    char message[kRecordBufferSize] = {};
    va_list args;
    va_start(args, format);
    FormatBoundedV(message, kMessageLimit, format, args);
    va_end(args);
    return NoThrowOr(false, [&] {
        LogLockGuard lock;
        return WriteLocatedRecordLocked(scope, 0, message);
    });
}

bool TraceEnter(TraceScope& scope, const char* format, ...)
{
    char entry[kRecordBufferSize] = {};
    va_list args;
    va_start(args, format);
    const int length = FormatBoundedV(entry, kTraceTextLimit, format, args);
    va_end(args);
    const HRESULT kept = ComBoundary([&]() -> HRESULT {
        scope.entryText.assign(entry, static_cast<size_t>(length));
        return S_OK;
    });
    if (FAILED(kept)) scope.entryText.clear();
    // Only the record gets the arrow; the exit records repeat the bare text.
    std::memcpy(entry + length, " ---->", sizeof(" ---->"));
    scope.entered = true;
    NoThrow([&] {
        // The entry record stands at the depth of the code around the routine.
        LogLockGuard lock;
        WriteLocatedRecordLocked(scope, -2, entry);
    });
    return true;
}

bool TraceReturn(TraceScope& scope, const char* format, ...)
{
    char result[kRecordBufferSize] = {};
    va_list args;
    va_start(args, format);
    FormatBoundedV(result, kTraceTextLimit, format, args);
    va_end(args);
    NoThrow([&] {
        LogLockGuard lock;
        WritePlainLocked(-2, "<---- %s %s", scope.entryText.c_str(), result);
    });
    // The end of the scope must not write a second exit record.
    scope.entered = false;
    return true;
}

bool LogDebugOnly(const char* format, ...)
{
    char text[kRecordBufferSize] = {};
    va_list args;
    va_start(args, format);
    FormatBoundedV(text, kMessageLimit, format, args);
    va_end(args);
    ::OutputDebugStringA(text);
    return true;
}

void CloseLog()
{
    LogLockGuard lock;
    CloseLogFileLocked();
}

}  // namespace quorvex
