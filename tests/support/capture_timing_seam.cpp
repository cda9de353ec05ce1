#include "support/capture_timing_seam.h"

#include <cstring>

namespace quorvex::test {

CaptureTiming* FindCaptureTiming(HMODULE module) noexcept
{
    auto* base = reinterpret_cast<BYTE*>(module ? module : ::GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    // Not const: IMAGE_FIRST_SECTION casts its argument to a plain pointer.
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        if (std::strncmp(reinterpret_cast<const char*>(section->Name), kCaptureTimingSection,
                         IMAGE_SIZEOF_SHORT_NAME) == 0 &&
            section->Misc.VirtualSize >= sizeof(CaptureTiming)) {
            return reinterpret_cast<CaptureTiming*>(base + section->VirtualAddress);
        }
    }
    return nullptr;
}

ShortCaptureTiming::ShortCaptureTiming(HMODULE module, DWORD stopBoundMs, DWORD watchWaitMs) noexcept
    : timing_(FindCaptureTiming(module))
{
    if (!timing_) return;
    timing_->stopBoundMs.store(stopBoundMs);
    timing_->watchWaitMs.store(watchWaitMs);
}

ShortCaptureTiming::~ShortCaptureTiming()
{
    if (!timing_) return;
    timing_->stopBoundMs.store(kStopBoundMs);
    timing_->watchWaitMs.store(kWatchWaitMs);
}

}  // namespace quorvex::test
