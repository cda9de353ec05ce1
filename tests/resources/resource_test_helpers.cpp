#include "resource_test_helpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>

#include "module/module_state.h"
#include "support/temp_directory.h"
#include "win/unique_handle.h"

namespace quorvex::test {

namespace {

std::wstring ProgramPath()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); }
std::wstring NameOf(const std::wstring& path) { return path.substr(path.rfind(L'\\') + 1); }

std::wstring Widen(const std::string& text)
{
    std::wstring wide(text.size(), L'\0');
    const int length = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                                             static_cast<int>(wide.size()));
    wide.resize(static_cast<size_t>(length > 0 ? length : 0));
    return wide;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// The message of each located record of the loader's source module: what
// follows "Glsapi.cpp:<line>" and three spaces.
std::vector<std::string> LoaderRecords(const std::string& log)
{
    std::vector<std::string> messages;
    for (const std::string& line : Lines(log)) {
        const size_t source = line.find("Glsapi.cpp:");
        if (source == std::string::npos) continue;
        const size_t gap = line.find("   ", source);
        messages.push_back(gap == std::string::npos ? line.substr(source) : line.substr(gap + 3));
    }
    return messages;
}

// A Windows process takes its user locale from its Unix environment, which a
// Windows environment block does not reach: the child is started as a Unix
// program that sets the locale and then runs the Wine loader.
std::wstring WineLoader()
{
    wchar_t loader[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"WINELOADER", loader, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(loader, length) : L"/usr/lib/wine/wine64";
}

}  // namespace

std::wstring BuiltResourceLibrary(const wchar_t* name)
{
    const std::wstring relative = FolderOf(ProgramPath()) + L"\\..\\resource_libraries\\" + name + L".dll";
    wchar_t full[MAX_PATH] = {};
    const DWORD length = ::GetFullPathNameW(relative.c_str(), MAX_PATH, full, nullptr);
    return length > 0 && length < MAX_PATH ? std::wstring(full, length) : relative;
}

HMODULE LoadBuiltResourceLibrary(const wchar_t* name)
{
    const std::wstring path = BuiltResourceLibrary(name);
    HMODULE library = ::LoadLibraryW(path.c_str());
    EXPECT_NE(library, nullptr) << "cannot load " << ToUtf8(path) << ", error " << ::GetLastError();
    return library;
}

ScopedResourceInstance::ScopedResourceInstance(HMODULE instance) noexcept
    : previous_(ExchangeResourceInstance(instance))
{
}

ScopedResourceInstance::~ScopedResourceInstance() { ExchangeResourceInstance(previous_); }

std::string ToUtf8(std::wstring_view text)
{
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size, nullptr,
                          nullptr);
    return utf8;
}

ChildReport RunInLocale(const char* unixLocale, const std::vector<std::wstring>& libraries, const char* action)
{
    ChildReport report;
    TempDirectory folder;
    const std::wstring childFolder = Widen(folder.path());
    const std::wstring program = ProgramPath();
    const std::wstring childProgram = childFolder + L"\\" + NameOf(program);

    // The child's own folder is the first place the library search looks.
    EXPECT_TRUE(::CopyFileW(program.c_str(), childProgram.c_str(), FALSE)) << "copy of the test program";
    const std::wstring service = FolderOf(program) + L"\\winscard.dll";
    if (::GetFileAttributesW(service.c_str()) != INVALID_FILE_ATTRIBUTES) {
        EXPECT_TRUE(::CopyFileW(service.c_str(), (childFolder + L"\\winscard.dll").c_str(), FALSE));
    }
    for (const std::wstring& library : libraries) {
        const std::wstring target = childFolder + L"\\" + library + L".dll";
        EXPECT_TRUE(::CopyFileW(BuiltResourceLibrary(library.c_str()).c_str(), target.c_str(), FALSE))
            << "copy of " << ToUtf8(library);
    }

    // A Unix child has no process handle here: it signals a named event when
    // its report is complete.
    static std::atomic<int> runs{0};
    const std::wstring eventName =
        L"QvResourceChild_" + std::to_wstring(::GetCurrentProcessId()) + L"_" + std::to_wstring(++runs);
    UniqueHandle done(::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    if (!done) {
        ADD_FAILURE() << "CreateEventW failed: " << ::GetLastError();
        return report;
    }

    std::wstring commandLine = L"Z:\\usr\\bin\\env LC_ALL=" + Widen(unixLocale) +
                               L" QV_RESOURCE_CHILD_ACTION=" + Widen(action) +
                               L" QV_RESOURCE_CHILD_EVENT=" + eventName + L" " + WineLoader() + L" " +
                               childProgram + L" --gtest_filter=ResourceLocaleChild.Run --gtest_brief=1";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, childFolder.c_str(),
                          &startup, &process)) {
        ADD_FAILURE() << "cannot start the child: " << ::GetLastError();
        return report;
    }
    UniqueHandle processHandle(process.hProcess);
    UniqueHandle threadHandle(process.hThread);

    const std::string resultPath = folder.Child("result.txt");
    if (::WaitForSingleObject(done.get(), 60000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the child in " << unixLocale << " did not finish";
        return report;
    }
    report.finished = true;
    for (const std::string& line : Lines(ReadFileBytes(resultPath))) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) report.values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    report.log = ReadFileBytes(folder.Child("log.txt"));
    report.loaderRecords = LoaderRecords(report.log);

    // The folder goes away with `folder`: wait until the child has let go of
    // the files it runs from.
    const DWORD childId = static_cast<DWORD>(std::stoul(report.values.count("pid") ? report.values["pid"] : "0"));
    if (UniqueHandle child{::OpenProcess(SYNCHRONIZE, FALSE, childId)}) ::WaitForSingleObject(child.get(), 10000);
    return report;
}

}  // namespace quorvex::test
