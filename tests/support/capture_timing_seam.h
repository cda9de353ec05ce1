// Shortened capture timing for one test: the stop bound (which Unadvise
// shares) and the card watch's wait, in this program's own copy of the
// product code or in a loaded Quorvex.dll, found through the image section
// that holds them. The product's values come back when the scope ends.
#pragma once

#include <windows.h>

#include "plugin/capture_timing.h"

namespace quorvex::test {

// What a test that sits out a stop's bound waits instead of 15 s: long
// enough that a stop which should succeed (one watch wait and the thread's
// end) never runs into it, even on a loaded machine.
inline constexpr DWORD kShortStopBoundMs = 2000;
inline constexpr DWORD kShortWatchWaitMs = 20;

// The module's timing; null when the module has no such section.
CaptureTiming* FindCaptureTiming(HMODULE module) noexcept;

class ShortCaptureTiming {
public:
    // `module` null: the test program itself.
    explicit ShortCaptureTiming(HMODULE module = nullptr, DWORD stopBoundMs = kShortStopBoundMs,
                                DWORD watchWaitMs = kShortWatchWaitMs) noexcept;
    ~ShortCaptureTiming();
    ShortCaptureTiming(const ShortCaptureTiming&) = delete;
    ShortCaptureTiming& operator=(const ShortCaptureTiming&) = delete;

    bool found() const noexcept { return timing_ != nullptr; }

private:
    CaptureTiming* timing_;
};

}  // namespace quorvex::test
