#include "support/debugger_channel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "win/unique_handle.h"

namespace quorvex::test {

namespace {

std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info)
{
    const size_t unit = info.fUnicode ? sizeof(wchar_t) : 1;
    std::string bytes(info.nDebugStringLength * unit, '\0');
    SIZE_T read = 0;
    ::ReadProcessMemory(process, info.lpDebugStringData, bytes.data(), bytes.size(), &read);
    if (!info.fUnicode) return std::string(bytes.c_str(), strnlen(bytes.c_str(), read));
    const auto* wide = reinterpret_cast<const wchar_t*>(bytes.data());
    const int length = static_cast<int>(wcsnlen(wide, read / sizeof(wchar_t)));
    std::string text(static_cast<size_t>(::WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr)),
                     '\0');
    ::WideCharToMultiByte(CP_ACP, 0, wide, length, text.data(), static_cast<int>(text.size()), nullptr, nullptr);
    return text;
}

DebuggedRun RunUnderDebugger(std::wstring commandLine, DWORD timeoutMilliseconds)
{
    DebuggedRun run;
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    UniqueHandle outputRead;
    UniqueHandle outputWrite;
    if (!::CreatePipe(outputRead.put(), outputWrite.put(), &inheritable, 0)) return run;
    ::SetHandleInformation(outputRead.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = outputWrite.get();
    startup.hStdError = outputWrite.get();
    PROCESS_INFORMATION created{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                          nullptr, &startup, &created)) {
        return run;
    }
    const UniqueHandle process(created.hProcess);
    const UniqueHandle mainThread(created.hThread);
    outputWrite.reset();  // the pipe ends when the child's copy closes

    std::thread reader([&run, pipe = outputRead.get()] {
        char chunk[4096];
        DWORD read = 0;
        while (::ReadFile(pipe, chunk, sizeof(chunk), &read, nullptr) && read != 0) {
            run.standardOutput.append(chunk, read);
        }
    });

    const ULONGLONG deadline = ::GetTickCount64() + timeoutMilliseconds;
    while (!run.exited) {
        const ULONGLONG now = ::GetTickCount64();
        DEBUG_EVENT event{};
        if (now >= deadline || !::WaitForDebugEvent(&event, static_cast<DWORD>(deadline - now))) {
            ::TerminateProcess(process.get(), 1);
            ::DebugActiveProcessStop(created.dwProcessId);
            break;
        }
        DWORD continueStatus = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:  // the image handles belong to the debugger
            UniqueHandle(event.u.CreateProcessInfo.hFile).reset();
            break;
        case LOAD_DLL_DEBUG_EVENT: UniqueHandle(event.u.LoadDll.hFile).reset(); break;
        case OUTPUT_DEBUG_STRING_EVENT:
            run.debugStrings.push_back(ReadDebugString(process.get(), event.u.DebugString));
            break;
        case EXCEPTION_DEBUG_EVENT:
            if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
                continueStatus = DBG_EXCEPTION_NOT_HANDLED;
            }
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            run.exited = true;
            run.exitCode = event.u.ExitProcess.dwExitCode;
            break;
        default: break;
        }
        ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continueStatus);
    }
    ::WaitForSingleObject(process.get(), 10000);
    reader.join();
    return run;
}

}  // namespace

DebuggedRun RunSelfUnderDebugger(const EnvironmentSettings& environment, DWORD timeoutMilliseconds)
{
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    // The variables are the test's own: the child inherits them, this process
    // drops them again afterwards.
    for (const auto& [name, value] : environment) ::SetEnvironmentVariableW(name.c_str(), value.c_str());
    DebuggedRun run = RunUnderDebugger(L"\"" + std::wstring(self) + L"\"", timeoutMilliseconds);
    for (const auto& [name, value] : environment) ::SetEnvironmentVariableW(name.c_str(), nullptr);
    return run;
}

std::vector<std::string> RunCurrentTestUnderDebugger(const wchar_t* childVariable,
                                                     const std::vector<std::string>& wanted, DWORD timeoutMilliseconds)
{
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string(test->test_suite_name()) + "." + test->name();
    const DebuggedRun run = RunSelfUnderDebugger(
        {{childVariable, L"1"}, {L"GTEST_FILTER", std::wstring(filter.begin(), filter.end())}}, timeoutMilliseconds);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(0u, run.exitCode) << run.standardOutput;
    EXPECT_NE(std::string::npos, run.standardOutput.find("[  PASSED  ] 1 test.")) << run.standardOutput;
    std::vector<std::string> texts;
    for (const std::string& text : run.debugStrings) {
        if (std::find(wanted.begin(), wanted.end(), text) != wanted.end()) texts.push_back(text);
    }
    return texts;
}

}  // namespace quorvex::test
