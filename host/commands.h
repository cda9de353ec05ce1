// The subcommands of quorvex-host. Each returns the process exit code.
#pragma once

#include <string>
#include <vector>

#include "host/plugin_connection.h"

namespace quorvex::host {

enum ExitCode : int {
    kSuccess = 0,
    kFailed = 1,    // the plug-in reported Failed, or a call failed
    kTimedOut = 2,  // no DataReady or Failed before the time-out
    kUsage = 64,
};

int ListReaders(const Connection& connection);
int Capture(const Connection& connection, const std::wstring& reader, bool readerGiven, double timeoutSeconds);
int ShowStatus(const Connection& connection, const std::vector<std::wstring>& codes);
int Register(const std::wstring& dllPath, bool unregister);

// "0x20CC" or "8396" or "-2147024882" -> the 32-bit code.
bool ParseStatusCode(const std::wstring& text, LONG& code);

}  // namespace quorvex::host
