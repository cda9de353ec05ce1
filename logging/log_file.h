// Turning a log path into an open log stream.
#pragma once

#include <optional>
#include <string>

namespace quorvex {

// "<stdout>" (any case) selects standard output; "%TAVRIXLOGDIR\..." the log
// directory; anything else is a file path used unchanged.
bool OpenLog(const char* logPath, int requestedLevel);
// Empty optional = "Bad interval variable name in log path" (see ExpandLogPathError).
std::optional<std::string> ExpandLogPath(const char* logPath);
inline constexpr const char* ExpandLogPathError = "Bad interval variable name in log path";
bool EnsureDirectory(const std::string& directory);
void OpenUnknownFile();
// The level rule applied by OpenLog once a stream is set up.
void ApplyLevelRuleOnOpen(bool standardOutput, int requestedLevel);

}  // namespace quorvex
