// Log configuration from the machine's policy key.
#pragma once

#include <windows.h>

#include <string>

namespace quorvex {

inline constexpr const wchar_t* kPolicyKeyPath = L"SOFTWARE\\Policies\\Tavrix\\Vestrel";

void ConfigureLogModule(const char* defaultLogPath, const char* name, int requestedLevel);
// The level rule applied by OpenLog once a stream is set up.
void ApplyLevelRuleOnOpen(bool standardOutput, int requestedLevel);
std::wstring ReadPolicyString(HKEY key, const wchar_t* valueName, const std::wstring& defaultText);
DWORD ReadPolicyDword(HKEY key, const wchar_t* valueName, DWORD defaultValue);

}  // namespace quorvex
