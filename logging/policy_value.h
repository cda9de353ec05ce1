// Reading the machine's log policy key and its values.
#pragma once

#include <windows.h>

#include <string>

#include "logging/log_policy.h"
#include "win/unique_hkey.h"

namespace quorvex {

// The policy key opened for reading; empty when it is not there.
UniqueHkey OpenPolicyKey() noexcept;
// REG_SZ or REG_EXPAND_SZ (not expanded) of any length, with an even byte
// count and a terminating null; anything else gives defaultText. The text
// ends at its first null.
std::wstring ReadPolicyString(HKEY key, const wchar_t* valueName, const std::wstring& defaultText);
// REG_DWORD of four bytes only; anything else gives defaultValue.
DWORD ReadPolicyDword(HKEY key, const wchar_t* valueName, DWORD defaultValue);

}  // namespace quorvex
