#include "support/child_process.h"

#include <algorithm>
#include <vector>

#include "win/unique_handle.h"

namespace quorvex::test {
namespace {

// The inherited environment with the given variables set.
std::vector<wchar_t> EnvironmentBlock(const std::map<std::wstring, std::wstring>& changes)
{
    std::map<std::wstring, std::wstring> variables;
    if (wchar_t* block = ::GetEnvironmentStringsW()) {
        for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1) {
            std::wstring text(entry);
            const size_t equals = text.find(L'=', 1);
            if (equals != std::wstring::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
        }
        ::FreeEnvironmentStringsW(block);
    }
    for (const auto& [name, value] : changes) variables[name] = value;
    std::vector<wchar_t> out;
    for (const auto& [name, value] : variables) {
        std::wstring entry = name + L"=" + value;
        out.insert(out.end(), entry.begin(), entry.end());
        out.push_back(L'\0');
    }
    out.push_back(L'\0');
    return out;
}

}  // namespace

std::wstring SystemProgram(const wchar_t* name)
{
    wchar_t folder[MAX_PATH] = {};
    ::GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder) + L"\\" + name;
}

ChildResult RunChild(const std::wstring& commandLine, const ChildOptions& options)
{
    ChildResult result;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    UniqueHandle readEnd, writeEnd;
    if (!::CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0)) return result;
    ::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    UniqueHandle nul(
        ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul.get();
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    PROCESS_INFORMATION process{};
    std::vector<wchar_t> environment = EnvironmentBlock(options.environment);
    std::wstring mutableLine = commandLine;
    if (!::CreateProcessW(
            nullptr, mutableLine.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT, environment.data(),
            options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str(), &startup, &process)) {
        result.output = "CreateProcess failed: " + std::to_string(::GetLastError());
        return result;
    }
    UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
    writeEnd.reset();  // the child holds the only write end now

    // Polls instead of blocking on the pipe: a grandchild that inherited the
    // write end must not keep the test waiting after the child ended.
    std::string collected;
    const ULONGLONG deadline = ::GetTickCount64() + options.timeoutMs;
    auto drain = [&] {
        DWORD available = 0;
        while (::PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            char buffer[4096];
            DWORD got = 0;
            if (!::ReadFile(readEnd.get(), buffer, std::min<DWORD>(available, sizeof buffer), &got, nullptr) ||
                got == 0)
                break;
            collected.append(buffer, got);
        }
    };
    for (;;) {
        drain();
        if (::WaitForSingleObject(processHandle.get(), 10) != WAIT_TIMEOUT) break;
        if (::GetTickCount64() > deadline) {
            result.timedOut = true;
            ::TerminateProcess(processHandle.get(), 0xDEAD);
            ::WaitForSingleObject(processHandle.get(), 5000);
            break;
        }
    }
    drain();
    ::GetExitCodeProcess(processHandle.get(), &result.exitCode);
    collected.erase(std::remove(collected.begin(), collected.end(), '\r'), collected.end());
    result.output = std::move(collected);
    return result;
}

}  // namespace quorvex::test
