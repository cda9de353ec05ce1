// The text of a status code for the user: the localized string of its status
// id, else the generic unknown-status string, else a fixed English text.
#pragma once

#include <windows.h>

#include <string>

namespace quorvex {

inline constexpr const wchar_t* kMissingStatusText = L"ERROR: cannot load status string for requested status code.";

// Never fails except by running out of memory (std::bad_alloc).
std::wstring StatusText(LONG statusCode);

}  // namespace quorvex
