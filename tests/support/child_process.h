// Runs a Windows program as a child process and collects what it printed.
#pragma once

#include <windows.h>

#include <map>
#include <string>

namespace quorvex::test {

struct ChildResult {
    DWORD exitCode = 0xFFFFFFFF;
    bool timedOut = false;
    std::string output;  // stdout and stderr together, CR removed
};

struct ChildOptions {
    std::wstring workingDirectory;                     // empty: inherited
    std::map<std::wstring, std::wstring> environment;  // added to (or replacing in) the inherited block
    DWORD timeoutMs = 60000;
};

// commandLine is passed as-is (quote arguments with blanks yourself).
ChildResult RunChild(const std::wstring& commandLine, const ChildOptions& options = {});

// The Windows system folder program, e.g. L"regsvr32.exe".
std::wstring SystemProgram(const wchar_t* name);

}  // namespace quorvex::test
