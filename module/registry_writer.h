// Registry primitives of self-registration: every key is opened with the same
// access and owned by a UniqueHkey.
#pragma once

#include <windows.h>

#include "win/unique_hkey.h"

namespace quorvex {

// KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY
inline constexpr REGSAM kRegistrationAccess = 0x2001F;

// Opens parent\name, creating it (non-volatile) when it cannot be opened.
// Returns a Win32 error code.
LONG OpenOrCreateKey(HKEY parent, const wchar_t* name, UniqueHkey& key) noexcept;

// Opens parent\name without creating it. Returns a Win32 error code.
LONG OpenExistingKey(HKEY parent, const wchar_t* name, UniqueHkey& key) noexcept;

// A REG_SZ value written with its terminating zero; null name = default value.
LONG SetStringValue(HKEY key, const wchar_t* valueName, const wchar_t* data) noexcept;

// Deletes parent\name with everything below it. Returns a Win32 error code;
// ERROR_FILE_NOT_FOUND when the key is not there.
LONG DeleteSubtree(HKEY parent, const wchar_t* name) noexcept;

// A missing key (or path) counts as already deleted.
inline bool IsMissingKeyError(LONG error) noexcept
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace quorvex
