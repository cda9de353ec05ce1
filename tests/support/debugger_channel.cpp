#include "support/debugger_channel.h"

#include <thread>

#include "win/unique_handle.h"

namespace quorvex::test {

namespace {

std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info)
{
    const SIZE_T characters = info.nDebugStringLength;
    if (characters == 0) return std::string();
    if (info.fUnicode) {
        std::wstring wide(characters, L'\0');
        SIZE_T read = 0;
        ::ReadProcessMemory(process, info.lpDebugStringData, wide.data(), characters * sizeof(wchar_t), &read);
        wide.resize(wcsnlen(wide.c_str(), read / sizeof(wchar_t)));
        const int length = ::WideCharToMultiByte(CP_ACP, 0, wide.c_str(), static_cast<int>(wide.size()), nullptr, 0,
                                                 nullptr, nullptr);
        std::string text(static_cast<size_t>(length), '\0');
        ::WideCharToMultiByte(CP_ACP, 0, wide.c_str(), static_cast<int>(wide.size()), text.data(), length, nullptr,
                              nullptr);
        return text;
    }
    std::string text(characters, '\0');
    SIZE_T read = 0;
    ::ReadProcessMemory(process, info.lpDebugStringData, text.data(), characters, &read);
    text.resize(strnlen(text.c_str(), read));
    return text;
}

// Restores the previous values when the launch is done.
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(const EnvironmentSettings& settings)
    {
        for (const auto& [name, value] : settings) {
            wchar_t previous[4096] = {};
            const DWORD length = ::GetEnvironmentVariableW(name.c_str(), previous, 4096);
            saved_.push_back({name, length != 0 ? std::wstring(previous) : std::wstring(), length != 0});
            ::SetEnvironmentVariableW(name.c_str(), value.c_str());
        }
    }
    ~ScopedEnvironment()
    {
        for (const Saved& saved : saved_) {
            ::SetEnvironmentVariableW(saved.name.c_str(), saved.present ? saved.value.c_str() : nullptr);
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    struct Saved {
        std::wstring name;
        std::wstring value;
        bool present;
    };
    std::vector<Saved> saved_;
};

}  // namespace

DebuggedRun RunUnderDebugger(const std::wstring& commandLine, DWORD timeoutMilliseconds)
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
    startup.hStdInput = nullptr;
    startup.hStdOutput = outputWrite.get();
    startup.hStdError = outputWrite.get();
    PROCESS_INFORMATION created{};
    std::wstring mutableCommandLine = commandLine;
    if (!::CreateProcessW(nullptr, mutableCommandLine.data(), nullptr, nullptr, TRUE, DEBUG_ONLY_THIS_PROCESS,
                          nullptr, nullptr, &startup, &created)) {
        return run;
    }
    const UniqueHandle process(created.hProcess);
    const UniqueHandle mainThread(created.hThread);
    outputWrite.reset();  // the pipe ends when the child's copy closes

    std::thread reader([&run, pipe = outputRead.get()] {
        char chunk[4096];
        DWORD read = 0;
        while (::ReadFile(pipe, chunk, sizeof(chunk), &read, nullptr) && read != 0) run.standardOutput.append(chunk, read);
    });

    const ULONGLONG deadline = ::GetTickCount64() + timeoutMilliseconds;
    for (;;) {
        const ULONGLONG now = ::GetTickCount64();
        DEBUG_EVENT event{};
        if (now >= deadline || !::WaitForDebugEvent(&event, static_cast<DWORD>(deadline - now))) {
            ::TerminateProcess(process.get(), 1);
            ::DebugActiveProcessStop(created.dwProcessId);
            break;
        }
        DWORD continueStatus = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            // The image handle belongs to the debugger.
            UniqueHandle(event.u.CreateProcessInfo.hFile).reset();
            break;
        case LOAD_DLL_DEBUG_EVENT:
            UniqueHandle(event.u.LoadDll.hFile).reset();
            break;
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
        default:
            break;
        }
        ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continueStatus);
        if (run.exited) break;
    }
    ::WaitForSingleObject(process.get(), 10000);
    reader.join();
    return run;
}

DebuggedRun RunSelfUnderDebugger(const EnvironmentSettings& environment, DWORD timeoutMilliseconds)
{
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    const ScopedEnvironment scoped(environment);
    return RunUnderDebugger(L"\"" + std::wstring(self) + L"\"", timeoutMilliseconds);
}

}  // namespace quorvex::test
