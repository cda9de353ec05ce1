#include "logging/log_file.h"

#include <windows.h>

#include <share.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstring>

#include "logging/log_level.h"
#include "logging/log_policy.h"
#include "logging/log_record.h"
#include "logging/log_state.h"
#include "logging/policy_value.h"
#include "win/hresult.h"

namespace quorvex {

namespace {

constexpr const char* kStandardOutputPath = "<stdout>";
constexpr const char* kLogDirectoryKeyword = "TAVRIXLOGDIR";
constexpr const char* kFallbackLogPath = "%TAVRIXLOGDIR\\Unknown.txt";

bool IsKeywordCharacter(char c) noexcept
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

std::string LogDirectory()
{
    char folder[MAX_PATH] = {};
    // A failed query leaves the folder empty: the directory is then relative.
    if (FAILED(::SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) {
        folder[0] = '\0';
    }
    ::PathAppendA(folder, "Tavrix\\Vestrel");
    return folder;
}

}  // namespace

std::optional<std::string> ExpandLogPath(const char* logPath)
{
    if (logPath[0] != '%') return std::string(logPath);
    const char* keywordEnd = logPath + 1;
    while (IsKeywordCharacter(*keywordEnd)) ++keywordEnd;
    const std::string keyword(logPath + 1, keywordEnd);
    if (keyword != kLogDirectoryKeyword) return std::nullopt;
    return LogDirectory() + keywordEnd;
}

// Recursion depth: one level per backslash, so at most MAX_PATH / 2 (bound below).
bool EnsureDirectory(const std::string& directory)  // NOLINT(misc-no-recursion)
{
    if (::PathFileExistsA(directory.c_str())) return ::PathIsDirectoryA(directory.c_str()) != FALSE;
    // The 8-bit file functions take no path this long. Without this bound a
    // policy path of thousands of levels recursed once per level, holding a
    // copy of the path at each, until the stack ran out while the module loaded.
    if (directory.size() >= MAX_PATH) return false;
    const size_t lastBackslash = directory.rfind('\\');
    // Without a backslash the parent would be the path itself: the recursion
    // ends here, and a non-empty relative name is created in place.
    if (lastBackslash != std::string::npos) {
        if (!EnsureDirectory(directory.substr(0, lastBackslash))) return false;
    } else if (directory.empty()) {
        return false;
    }
    return ::CreateDirectoryA(directory.c_str(), nullptr) != FALSE;
}

bool OpenLogLocked(const char* logPath, int requestedLevel)
{
    if (_stricmp(logPath, kStandardOutputPath) == 0) {
        SetStandardOutputStreamLocked();
        ApplyLevelRuleOnOpen(true, requestedLevel);
        return true;
    }
    if (CurrentLogStreamLocked() != LogStream::None) return false;
    g_indentationWidth.store(0, std::memory_order_relaxed);

    std::optional<std::string> resolved = ExpandLogPath(logPath);
    if (!resolved) {
        // The module must load all the same; the fallback file stays available.
        LogDebugOnly("%s: '%s'\n", ExpandLogPathError, logPath);
        return false;
    }
    std::string& resolvedPath = ResolvedLogPathLocked();
    resolvedPath = std::move(*resolved);

    const size_t lastBackslash = resolvedPath.rfind('\\');
    // A failure shows only as a failed open.
    EnsureDirectory(lastBackslash == std::string::npos ? std::string() : resolvedPath.substr(0, lastBackslash));

    // Appending, shared: other processes read and write the same file. Text
    // mode is named explicitly because a host may switch the runtime's
    // default to binary.
    FILE* file = _fsopen(resolvedPath.c_str(), "at", _SH_DENYNO);
    if (file == nullptr) {
        LogDebugOnly("Cannot open log file: '%s'\n", resolvedPath.c_str());
        return false;
    }
    SetFileStreamLocked(file);
    ApplyLevelRuleOnOpen(false, requestedLevel);
    return true;
}

void OpenUnknownFileLocked()
{
    if (!OpenLogLocked(kFallbackLogPath, 0)) return;
    char executable[MAX_PATH] = {};
    if (::GetModuleFileNameA(nullptr, executable, MAX_PATH) != 0 && LogLevelReached(2)) {
        WritePlainLocked(0, "OpenUnknownFile(): current process: %s", executable);
    }
}

bool OpenLog(const char* logPath, int requestedLevel)
{
    return NoThrowOr(false, [&] {
        LogLockGuard lock;
        return OpenLogLocked(logPath, requestedLevel);
    });
}

void OpenUnknownFile()
{
    NoThrow([] {
        LogLockGuard lock;
        OpenUnknownFileLocked();
    });
}

void ApplyLevelRuleOnOpen(bool standardOutput, int requestedLevel)
{
    if (standardOutput || requestedLevel != 0) {
        SetCurrentLogLevel(requestedLevel);
        return;
    }
    if (UniqueHkey key = OpenPolicyKey()) {
        const DWORD level = ReadPolicyDword(key.get(), kDefaultLogLevelValue.name, 0xFFFFFFFF);
        if (level <= kHighestLogLevel) SetCurrentLogLevel(static_cast<int>(level));
    }
}

}  // namespace quorvex
