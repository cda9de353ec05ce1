#include "logging/log_config.h"

#include <cstdlib>
#include <string>

#include "logging/log_file.h"
#include "logging/log_level.h"
#include "logging/log_policy.h"
#include "logging/log_record.h"
#include "logging/log_state.h"
#include "logging/policy_value.h"
#include "win/hresult.h"

namespace quorvex {

namespace {

bool IsRecognisedModuleName(const char* name) noexcept
{
    return _stricmp(name, "main") == 0 || _stricmp(name, "gina") == 0 || _stricmp(name, "biolsp") == 0;
}

std::wstring ToWide(const char* text)
{
    const int length = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (length <= 1) return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), length);
    wide.resize(static_cast<size_t>(length - 1));
    return wide;
}

std::string ToNarrow(const std::wstring& text)
{
    const int length = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                             nullptr, nullptr);
    std::string narrow(static_cast<size_t>(length), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), narrow.data(), length, nullptr,
                          nullptr);
    return narrow;
}

}  // namespace

void ConfigureLogModule(const char* defaultLogPath, const char* name, int requestedLevel)
{
    // Out of memory while loading: the first record tries the fallback file.
    NoThrow([&] {
        std::string logPath = defaultLogPath;
        if (IsRecognisedModuleName(name)) {
            if (UniqueHkey key = OpenPolicyKey()) {
                const std::wstring valuePrefix = ToWide(name);
                const std::wstring configuredPath = ReadPolicyString(
                    key.get(), (valuePrefix + kLogFileValue.name).c_str(), std::wstring());
                if (!configuredPath.empty()) logPath = ToNarrow(configuredPath);
                // A missing value reads as 0 and so overrides the caller's level.
                const DWORD level = ReadPolicyDword(key.get(), (valuePrefix + kLogLevelValue.name).c_str(), 0);
                if (level <= kHighestLogLevel) requestedLevel = static_cast<int>(level);
            }
        }
        OpenLog(logPath.c_str(), requestedLevel);
    });
}

void ConfigureModuleLog()
{
    ConfigureLogModule("%TAVRIXLOGDIR\\Quorvex.txt", kModuleLogName, 0);
    // The path's storage is made on first use; made here, before CloseLog is
    // registered, it is destroyed after CloseLog has run, whichever stream
    // the configuration chose.
    NoThrow([] { (void)ResolvedLogPath(); });
    // Registered after the configuration so that it runs after the static
    // objects constructed later have been destroyed.
    std::atexit(CloseLog);
}

}  // namespace quorvex
