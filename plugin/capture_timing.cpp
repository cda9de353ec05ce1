#include "plugin/capture_timing.h"

#include <string_view>

// A section of its own: Quorvex.dll exports nothing but its entry points, and
// a test that loads it finds the values through the image's section table.
#define QV_TIMING_SECTION_NAME ".qvtime"
#if defined(_MSC_VER) && !defined(__clang__)
#pragma section(QV_TIMING_SECTION_NAME, read, write)
#define QV_TIMING_SECTION __declspec(allocate(QV_TIMING_SECTION_NAME))
#else
#define QV_TIMING_SECTION __attribute__((section(QV_TIMING_SECTION_NAME)))
#endif

namespace quorvex {
namespace {

static_assert(std::string_view(QV_TIMING_SECTION_NAME) == kCaptureTimingSection);

QV_TIMING_SECTION constinit CaptureTiming g_timing{{kStopBoundMs}, {kWatchWaitMs}};

}  // namespace

const CaptureTiming& Timing() noexcept { return g_timing; }

}  // namespace quorvex
