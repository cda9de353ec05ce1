// Choosing and loading the resource library with the status texts for the
// user's locale, with the English library as fallback.
#pragma once

#include <windows.h>

namespace quorvex {

// baseName without directory or extension ("VestrelRes"). Null when neither
// the locale's library nor the English one could be loaded.
HMODULE LoadResourceLibrary(const wchar_t* baseName);

}  // namespace quorvex
