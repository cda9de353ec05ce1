// Process-wide count of live COM task-memory blocks (CoTaskMemAlloc, and with
// it every BSTR oleaut32 hands out), kept by a malloc spy. Exact only while
// oleaut32's string cache is off: a cached string is neither allocated nor
// freed, so the program's main() makes sure OANOCACHE was set when the
// process started.
#pragma once

#include <windows.h>

namespace quorvex::test {

// Installs the spy; blocks allocated before it are not counted.
bool InstallTaskAllocationSpy() noexcept;
// Blocks allocated since the spy was installed and not yet freed.
LONG LiveTaskAllocations() noexcept;

}  // namespace quorvex::test
