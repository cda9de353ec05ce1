// Choosing and loading the resource library with the status texts for the
// user's locale, with the English library as fallback.
#pragma once

#include <windows.h>

#include "win/unique_module.h"

namespace quorvex {

// baseName without directory or extension ("VestrelRes"). Looked for in the
// host program's folder, then in the system folder. Empty when neither the
// locale's library nor the English one could be loaded.
UniqueModule LoadResourceLibrary(const wchar_t* baseName);

// The library at `path` mapped as a data file and image resource: none of its
// code runs in the host, not even its entry point. Its handle has low bits
// set and serves resource lookups only.
UniqueModule LoadResourceLibraryFile(const wchar_t* path) noexcept;

}  // namespace quorvex
