// How long the capture and the event connection point wait, defined once.
// The product never changes these values; a test shortens them (through the
// section the values live in, tests/support/capture_timing_seam.h) so that a
// stop that gives up does not cost it 15 s of real time.
#pragma once

#include <windows.h>

#include <atomic>

namespace quorvex {

// The stop procedure's longest wait for the worker to end. Unadvise waits as
// long for an event call under way on another thread: a sink blocked for
// good holds the host up no longer than a capture stop would.
inline constexpr DWORD kStopBoundMs = 15000;
// Each status-change wait of the card watch, hence the longest time before a
// waiting watch sees the stop flag.
inline constexpr DWORD kWatchWaitMs = 100;

struct CaptureTiming {
    std::atomic<DWORD> stopBoundMs;
    std::atomic<DWORD> watchWaitMs;
};

// Name of the image section that holds the module's one CaptureTiming and
// nothing else.
inline constexpr char kCaptureTimingSection[] = ".qvtime";

// The module's timing: the bounds read at each stop and Unadvise, the wait
// length at the start of each run.
const CaptureTiming& Timing() noexcept;

}  // namespace quorvex
