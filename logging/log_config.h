// Log configuration from the machine's policy key.
#pragma once

#include <windows.h>

#include <string>

namespace quorvex {

inline constexpr const wchar_t* kPolicyKeyPath = L"SOFTWARE\\Policies\\Tavrix\\Vestrel";

// Reads the policy values for a recognised module name ("main", "gina",
// "biolsp", any case) and opens the log. Never throws: a log that cannot be
// opened must not stop the module from loading.
void ConfigureLogModule(const char* defaultLogPath, const char* name, int requestedLevel);
// This module's configuration, run once from the DLL's static initialisation:
// "%TAVRIXLOGDIR\Quorvex.txt", "Main", level 0, and CloseLog registered to run
// when the module's static objects are destroyed.
void ConfigureModuleLog();
// The level rule applied by OpenLog once a stream is set up.
void ApplyLevelRuleOnOpen(bool standardOutput, int requestedLevel);
// REG_SZ or REG_EXPAND_SZ (not expanded) of any length, with an even byte
// count and a terminating null; anything else gives defaultText. The text
// ends at its first null.
std::wstring ReadPolicyString(HKEY key, const wchar_t* valueName, const std::wstring& defaultText);
// REG_DWORD of four bytes only; anything else gives defaultValue.
DWORD ReadPolicyDword(HKEY key, const wchar_t* valueName, DWORD defaultValue);

}  // namespace quorvex
