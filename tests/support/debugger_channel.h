// A real debugger channel for tests: re-launches the running test program as
// a debuggee of the calling thread and collects the texts it sends with
// OutputDebugString, plus what it writes to standard output.
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

using EnvironmentSettings = std::vector<std::pair<std::wstring, std::wstring>>;

// The child gets the given variables in its environment (a test program reads
// them during its static initialisation to run a child scenario instead of
// its tests).
DebuggedRun RunSelfUnderDebugger(const EnvironmentSettings& environment, DWORD timeoutMilliseconds = 60000);

// Runs only the current test again in a child under the debugger, with
// `childVariable` set to "1" so that the test knows it is the child there.
// The child must pass its one test; the run's debugger texts are returned
// filtered down to the ones in `wanted`, in the order sent.
std::vector<std::string> RunCurrentTestUnderDebugger(const wchar_t* childVariable,
                                                     const std::vector<std::string>& wanted,
                                                     DWORD timeoutMilliseconds = 90000);

}  // namespace quorvex::test
