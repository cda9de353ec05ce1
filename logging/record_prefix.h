// The prefix of every log record: local time with milliseconds, the thread
// identifier in brackets, then the indentation.
#pragma once

#include <windows.h>

#include <cstddef>

namespace quorvex {

struct RecordClock {
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// Local time now, read once. The caller holds the log lock (log_state.h).
RecordClock CurrentRecordClock() noexcept;

// Writes "%02d:%02d:%02d.%03d [%04d] %*s" into buffer (at least 511 bytes),
// cut at 510 characters; returns its length.
int FormatRecordPrefix(char* buffer, const RecordClock& clock, DWORD threadId, int width) noexcept;

}  // namespace quorvex
