// A real debugger channel for tests: starts a program as a debuggee of the
// calling thread and collects the texts it sends with OutputDebugString, plus
// what it writes to standard output.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace quorvex::test {

struct DebuggedRun {
    bool exited = false;  // false: it did not end within the time-out and was terminated
    DWORD exitCode = 0;
    std::vector<std::string> debugStrings;  // in the order sent, without the terminating null
    std::string standardOutput;             // raw bytes, line ends as the program wrote them
};

DebuggedRun RunUnderDebugger(const std::wstring& commandLine, DWORD timeoutMilliseconds = 60000);

using EnvironmentSettings = std::vector<std::pair<std::wstring, std::wstring>>;

// Re-launches the running test program under the debugger with the given
// variables added to its environment (a test program reads them during its
// static initialisation to run a child scenario instead of its tests).
DebuggedRun RunSelfUnderDebugger(const EnvironmentSettings& environment, DWORD timeoutMilliseconds = 60000);

}  // namespace quorvex::test
