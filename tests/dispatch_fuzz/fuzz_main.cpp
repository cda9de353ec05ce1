// The program's own main: the allocation count below is only exact when
// oleaut32 keeps no string cache, and oleaut32 reads OANOCACHE once, when it
// is loaded - before main() runs, since this program imports it. Without the
// variable, the program starts itself again with it set and hands back the
// child's exit code, so every way of running it (the test command, the large
// run, a bare wine-run) counts the same way.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "dispatch_fuzz/task_allocations.h"
#include "win/unique_handle.h"

namespace {

int RunAgainWithoutStringCache()
{
    if (!::SetEnvironmentVariableW(L"OANOCACHE", L"1")) return 1;
    std::wstring commandLine = ::GetCommandLineW();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child)) {
        std::fprintf(stderr, "cannot start the program again with OANOCACHE set: error %lu\n", ::GetLastError());
        return 1;
    }
    const quorvex::UniqueHandle process(child.hProcess), thread(child.hThread);
    ::WaitForSingleObject(process.get(), INFINITE);
    DWORD exitCode = 1;
    ::GetExitCodeProcess(process.get(), &exitCode);
    return static_cast<int>(exitCode);
}

}  // namespace

int main(int argc, char** argv)
{
    if (::GetEnvironmentVariableW(L"OANOCACHE", nullptr, 0) == 0) return RunAgainWithoutStringCache();
    if (!quorvex::test::InstallTaskAllocationSpy()) {
        std::fprintf(stderr, "cannot install the malloc spy\n");
        return 1;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
