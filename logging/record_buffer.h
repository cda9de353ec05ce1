// Fixed-size formatting of record text with the platform's printf conventions
// ("%S" inserts a UTF-16 string).
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "logging/printf_like.h"

namespace quorvex {

// Every record buffer holds a line of at most 510 characters, its line feed
// and the terminating null.
inline constexpr int kRecordBufferSize = 512;
inline constexpr int kLineLimit = 510;
inline constexpr int kMessageLimit = 511;
inline constexpr int kTraceTextLimit = 502;

// Formats at most `limit` characters into a zero-filled buffer of more than
// `limit` bytes and terminates them; returns the length. The runtime's
// _vsnprintf leaves neither a terminator nor a useful count when it cuts the
// text or meets a string it cannot convert, hence the zero-filled buffer.
inline int FormatBoundedV(char* buffer, int limit, const char* format, va_list args) noexcept
{
    if (limit <= 0) {
        buffer[0] = '\0';
        return 0;
    }
    const int written = _vsnprintf(buffer, static_cast<size_t>(limit), format, args);
    const int length = (written >= 0 && written <= limit)
                           ? written
                           : static_cast<int>(strnlen(buffer, static_cast<size_t>(limit)));
    buffer[length] = '\0';
    return length;
}

inline int FormatBounded(char* buffer, int limit, const char* format, ...) noexcept QV_PRINTF_LIKE(3, 4);
inline int FormatBounded(char* buffer, int limit, const char* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    const int length = FormatBoundedV(buffer, limit, format, args);
    va_end(args);
    return length;
}

}  // namespace quorvex
