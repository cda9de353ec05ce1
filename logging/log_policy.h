// The machine policy the log reads: its key and its values. Administrators
// set them through the Group Policy templates in policy/, which offer exactly
// these names, types and ranges; a test checks the templates against this
// table.
#pragma once

#include "logging/log_level.h"

namespace quorvex {

inline constexpr const wchar_t* kPolicyKeyPath = L"SOFTWARE\\Policies\\Tavrix\\Vestrel";

// The log name of this module; its per-module values are named after it.
inline constexpr const char* kModuleLogName = "Main";

enum class PolicyData {
    Text,   // REG_SZ or REG_EXPAND_SZ, used as stored
    Level,  // REG_DWORD from 0 to kHighestLogLevel; a larger value is ignored
};

struct PolicyValue {
    const wchar_t* name;  // with perModule, what follows the log name ("Main" + "LogFile")
    bool perModule;
    PolicyData data;
};

inline constexpr PolicyValue kLogFileValue{L"LogFile", true, PolicyData::Text};
inline constexpr PolicyValue kLogLevelValue{L"LogLevel", true, PolicyData::Level};
inline constexpr PolicyValue kDefaultLogLevelValue{L"DefaultLogLevel", false, PolicyData::Level};
inline constexpr PolicyValue kPolicyValues[] = {kLogFileValue, kLogLevelValue, kDefaultLogLevelValue};

}  // namespace quorvex
