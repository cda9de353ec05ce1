#include "logging/record_prefix.h"

#include <sys/timeb.h>

#include <ctime>

#include "logging/record_buffer.h"

namespace quorvex {

RecordClock CurrentRecordClock() noexcept
{
    // The local-time conversion costs more than the rest of a record's
    // formatting; records come many to a second, so the last one is kept.
    static time_t convertedSecond = -1;
    static RecordClock converted;

    struct _timeb now {};
    _ftime(&now);
    if (now.time != convertedSecond) {
        converted = RecordClock{};
        if (const std::tm* local = std::localtime(&now.time)) {
            converted.hour = local->tm_hour;
            converted.minute = local->tm_min;
            converted.second = local->tm_sec;
        }
        convertedSecond = now.time;
    }
    RecordClock clock = converted;
    clock.millisecond = now.millitm;
    return clock;
}

int FormatRecordPrefix(char* buffer, const RecordClock& clock, DWORD threadId, int width) noexcept
{
    // The empty text padded to `width` yields exactly the indentation.
    return FormatBounded(buffer, kLineLimit, "%02d:%02d:%02d.%03d [%04d] %*s", clock.hour, clock.minute, clock.second,
                         clock.millisecond, static_cast<int>(threadId), width, "");
}

}  // namespace quorvex
