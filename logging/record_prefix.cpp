#include "logging/record_prefix.h"

#include <sys/timeb.h>

#include <ctime>

#include "logging/record_buffer.h"

namespace quorvex {

RecordClock CurrentRecordClock() noexcept
{
    struct _timeb now {};
    _ftime(&now);
    RecordClock clock;
    clock.millisecond = now.millitm;
    if (const std::tm* local = std::localtime(&now.time)) {
        clock.hour = local->tm_hour;
        clock.minute = local->tm_min;
        clock.second = local->tm_sec;
    }
    return clock;
}

int FormatRecordPrefix(char* buffer, const RecordClock& clock, DWORD threadId, int width) noexcept
{
    // The empty text padded to `width` yields exactly the indentation.
    return FormatBounded(buffer, kLineLimit, "%02d:%02d:%02d.%03d [%04d] %*s", clock.hour, clock.minute,
                         clock.second, clock.millisecond, static_cast<int>(threadId), width, "");
}

}  // namespace quorvex
