// Choosing and loading the resource library with the status texts for the
// user's locale, with the English library as fallback.
#pragma once

#include <windows.h>

namespace quorvex {

// baseName without directory or extension ("VestrelRes"). Null when neither
// the locale's library nor the English one could be loaded. The library is
// mapped as a data file and image resource (its handle has low bits set): use
// it for resources only, and give it back with FreeLibrary.
HMODULE LoadResourceLibrary(const wchar_t* baseName);

}  // namespace quorvex
