// The resource library loader in real user locales. A Windows process takes
// its user locale from its Unix environment, so each case runs this program
// again as a child in the locale it needs, from a folder that holds only the
// libraries the case names (the first place the library search looks).
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <sstream>

#include "logging/log_file.h"
#include "logging/log_record.h"
#include "logging/log_level.h"
#include "logging/log_state.h"
#include "resource_test_helpers.h"
#include "resources/resource_library_loader.h"
#include "resources/string_table.h"
#include "support/plugin_helpers.h"
#include "support/temp_directory.h"
#include "win/unique_bstr.h"
#include "win/unique_handle.h"

namespace quorvex::test {
namespace {

using Records = std::vector<std::string>;

std::wstring ModulePath(HMODULE module)
{
    wchar_t path[MAX_PATH] = {};
    return std::wstring(path, ::GetModuleFileNameW(module, path, MAX_PATH));
}

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); }

std::string ModuleName(HMODULE module)
{
    return module ? std::filesystem::path(ModulePath(module)).filename().string() : "(null)";
}

// What the child does: "load" calls the loader once; "construct" makes two
// plug-in objects and checks what each construction left behind.
std::string RunChildAction(const std::wstring& action)
{
    std::string result;
    if (action == L"load") {
        HMODULE library = LoadResourceLibrary(L"VestrelRes");
        std::optional<std::wstring> text = library ? LoadModuleString(library, 204) : std::nullopt;
        result += "library=" + ModuleName(library) + "\ntext204=" + (text ? ToUtf8(*text) : "(none)") + "\n";
    } else if (action == L"construct") {
        ComPtr<IPkiAuthenticationPlugin> first = CreatePlugin();
        HMODULE afterFirst = CurrentResourceInstance();
        ComPtr<IPkiAuthenticationPlugin> second = CreatePlugin();
        HMODULE afterSecond = CurrentResourceInstance();
        result += "library=" + ModuleName(afterSecond) + "\nsame_instance=" + (afterFirst == afterSecond ? "1" : "0");
        UniqueBstr text;
        LONG returnCode = -1;
        if (second && second->GetStatusString(0x20CC, text.put(), &returnCode) == S_OK)
            result += "\ntext204=" + ToUtf8(text.view());
        // Two constructions, two loads: giving back one leaves the library in the process.
        if (afterSecond != ModuleHandle() && ::FreeLibrary(afterSecond))
            result += std::string("\nloaded_after_one_free=") + (::GetModuleHandleW(L"VestrelRes_en.dll") ? "1" : "0");
        result += "\n";
    }
    return result + "pid=" + std::to_string(::GetCurrentProcessId()) + "\n";
}

// The child's side. In a normal run of the program it has nothing to do.
TEST(ResourceLocaleChild, Run)
{
    const wchar_t* action = _wgetenv(L"QV_RESOURCE_CHILD_ACTION");
    if (!action) GTEST_SKIP() << "runs only as the child of the locale cases";
    const std::string folder = ToUtf8(FolderOf(ModulePath(nullptr)));
    ResetLogStateForTests();
    ASSERT_TRUE(OpenLog((folder + "\\log.txt").c_str(), 3));
    SetCurrentLogLevel(3);
    const std::string result = RunChildAction(action);
    CloseLog();
    ASSERT_TRUE(WriteFileBytes(folder + "\\result.txt", result));
    UniqueHandle done(::OpenEventW(EVENT_MODIFY_STATE, FALSE, _wgetenv(L"QV_RESOURCE_CHILD_EVENT")));
    ASSERT_TRUE(done);
    ::SetEvent(done.get());
}

struct ChildReport {
    std::map<std::string, std::string> values;  // the child's "key=value" lines; none when it did not finish
    Records loaderRecords;  // the messages of the located records of the loader's module
    std::string log;
};

// Runs the child in the Unix locale `unixLocale` (e.g. "zh_TW.UTF-8") with
// exactly the `libraries` beside it.
ChildReport RunInLocale(const char* unixLocale, const std::vector<std::wstring>& libraries, const char* action)
{
    ChildReport report;
    TempDirectory folder;
    const std::wstring childFolder = std::filesystem::path(folder.path()).wstring();
    const std::wstring program = ModulePath(nullptr);
    const std::wstring childProgram = childFolder + program.substr(FolderOf(program).size());
    EXPECT_TRUE(::CopyFileW(program.c_str(), childProgram.c_str(), FALSE)) << "copy of the test program";
    ::CopyFileW((FolderOf(program) + L"\\winscard.dll").c_str(), (childFolder + L"\\winscard.dll").c_str(), FALSE);
    for (const std::wstring& library : libraries) {
        EXPECT_TRUE(::CopyFileW(BuiltResourceLibrary(library.c_str()).c_str(),
                                (childFolder + L"\\" + library + L".dll").c_str(), FALSE));
    }

    // The locale reaches the child only through its Unix environment, which a
    // Windows environment block does not set: the child is started as a Unix
    // program that sets it and runs the Wine loader. Such a child has no
    // process handle here; it signals a named event when its report is done.
    static std::atomic<int> runs{0};
    const std::wstring eventName =
        L"QvResourceChild_" + std::to_wstring(::GetCurrentProcessId()) + L"_" + std::to_wstring(++runs);
    UniqueHandle done(::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    const wchar_t* loader = _wgetenv(L"WINELOADER");
    const std::string settings = std::string("LC_ALL=") + unixLocale + " QV_RESOURCE_CHILD_ACTION=" + action;
    std::wstring commandLine = L"Z:\\usr\\bin\\env " + std::wstring(settings.begin(), settings.end()) +
                               L" QV_RESOURCE_CHILD_EVENT=" + eventName + L" " +
                               (loader ? loader : L"/usr/lib/wine/wine64") + L" " + childProgram +
                               L" --gtest_filter=ResourceLocaleChild.Run --gtest_brief=1";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!done || !::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   childFolder.c_str(), &startup, &process)) {
        ADD_FAILURE() << "cannot start the child: " << ::GetLastError();
        return report;
    }
    UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
    if (::WaitForSingleObject(done.get(), 60000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the child in " << unixLocale << " did not finish";
        return report;
    }
    std::istringstream result(ReadFileBytes(folder.Child("result.txt")));
    for (std::string line; std::getline(result, line);) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) report.values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    // The loader's records name its source module: the message follows
    // "Glsapi.cpp:<line>" and three spaces.
    report.log = ReadFileBytes(folder.Child("log.txt"));
    std::istringstream log(report.log);
    for (std::string line; std::getline(log, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t source = line.find("Glsapi.cpp:");
        if (source != std::string::npos) report.loaderRecords.push_back(line.substr(line.find("   ", source) + 3));
    }
    // The folder goes away with `folder`: wait until the child has let go of
    // the files it runs from.
    const DWORD childId = static_cast<DWORD>(std::stoul("0" + report.values["pid"]));
    if (UniqueHandle child{::OpenProcess(SYNCHRONIZE, FALSE, childId)}) ::WaitForSingleObject(child.get(), 10000);
    return report;
}

TEST(ResourceLibraryLoader, ChoosesTheLibraryOfTheUserLocaleWithTheRegionRulesAndTheEnglishFallback)
{
    const std::vector<std::wstring> all = {L"VestrelRes_en", L"VestrelRes_de", L"VestrelRes_zh-CHS",
                                           L"VestrelRes_zh-CHT", L"VestrelRes_pt-BR"};
    const std::vector<std::wstring> englishOnly = {L"VestrelRes_en"}, germanOnly = {L"VestrelRes_de"};
    const struct {
        const char* locale;
        const std::vector<std::wstring>& libraries;
        const char* library;
        const char* text204;
        Records records;  // empty for a library found at once: its one L3 record
    } cases[] = {
        {"zh_CN.UTF-8", all, "VestrelRes_zh-CHS.dll", "正在等待智能卡...", {}},
        // Chinese of Taiwan (0404) and of Singapore (1004): any id but 0804 is traditional.
        {"zh_TW.UTF-8", all, "VestrelRes_zh-CHT.dll", "正在等待智慧卡...", {}},
        {"zh_SG.UTF-8", all, "VestrelRes_zh-CHT.dll", "正在等待智慧卡...", {}},
        {"pt_PT.UTF-8", all, "VestrelRes_pt-BR.dll", "Aguardando um cartão inteligente...",
         {"locale id: 0816", "found resource DLL: VestrelRes_pt-BR.dll"}},
        {"de_DE.UTF-8", all, "VestrelRes_de.dll", "Warten auf eine Smartcard...", {}},
        {"de_DE.UTF-8", englishOnly, "VestrelRes_en.dll", "Waiting for a smart card...",
         {"*** didn't find VestrelRes_de.dll, try to load English version", "loading: VestrelRes_en.dll",
          "found resource DLL: VestrelRes_en.dll"}},
        // English missing: the same file is tried twice.
        {"en_US.UTF-8", germanOnly, "(null)", "(none)",
         {"*** didn't find VestrelRes_en.dll, try to load English version", "loading: VestrelRes_en.dll",
          "*** English resource DLL not found: VestrelRes_en.dll, return NULL"}},
        // A three-letter language name does not fit the loader's buffer: null
        // at once, without trying English, and no record.
        {"haw_US.UTF-8", all, "(null)", "(none)", {}},
    };
    for (const auto& c : cases) {
        ChildReport report = RunInLocale(c.locale, c.libraries, "load");
        const std::string what = std::string(c.locale) + " with " + std::to_string(c.libraries.size()) + " libraries";
        EXPECT_EQ(report.values["library"], c.library) << what;
        EXPECT_EQ(report.values["text204"], c.text204) << what;
        const Records records = c.records.empty() && std::string(c.library) != "(null)"
                                    ? Records{"found resource DLL: " + std::string(c.library)}
                                    : c.records;
        EXPECT_EQ(report.loaderRecords, records) << what << "\n" << report.log;
    }
}

TEST(ResourceLibraryLoader, EveryConstructionLoadsTheLibraryAndInstallsIt)
{
    ChildReport report = RunInLocale("en_US.UTF-8", {L"VestrelRes_en"}, "construct");
    EXPECT_EQ(report.values["library"], "VestrelRes_en.dll");
    EXPECT_EQ(report.values["same_instance"], "1");
    EXPECT_EQ(report.values["text204"], "Waiting for a smart card...") << "GetStatusString of 0x20CC";
    EXPECT_EQ(report.values["loaded_after_one_free"], "1");
    EXPECT_EQ(report.loaderRecords,
              (Records{"found resource DLL: VestrelRes_en.dll", "found resource DLL: VestrelRes_en.dll"}))
        << report.log;
}

}  // namespace
}  // namespace quorvex::test
