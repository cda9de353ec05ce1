#include "resources/resource_library_loader.h"

namespace quorvex {

// Placeholder until the locale rules land.
HMODULE LoadResourceLibrary(const wchar_t*) { return nullptr; }

}  // namespace quorvex
