// The resource library loader in real user locales. Each case runs this
// program again as a child process in the locale it needs, from a folder that
// holds only the libraries the case names.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "logging/log_file.h"
#include "logging/log_level.h"
#include "logging/log_record.h"
#include "logging/log_state.h"
#include "module/module_state.h"
#include "support/plugin_helpers.h"
#include "resource_test_helpers.h"
#include "resources/resource_library_loader.h"
#include "resources/string_table.h"
#include "win/unique_bstr.h"
#include "win/unique_handle.h"

namespace quorvex::test {
namespace {

using Records = std::vector<std::string>;

std::wstring EnvironmentText(const wchar_t* name)
{
    wchar_t value[128] = {};
    const DWORD length = ::GetEnvironmentVariableW(name, value, 128);
    return length < 128 ? std::wstring(value, length) : std::wstring();
}

std::string ModuleName(HMODULE module)
{
    if (!module) return "(null)";
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
    const std::wstring full(path, length);
    return ToUtf8(full.substr(full.rfind(L'\\') + 1));
}

std::string Text204(HMODULE module)
{
    std::optional<std::wstring> text = module ? LoadModuleString(module, 204) : std::nullopt;
    return text ? ToUtf8(*text) : "(none)";
}

// What the child does: "load" calls the loader once; "construct" makes two
// plug-in objects and checks what each construction left behind.
std::string RunChildAction(const std::wstring& action)
{
    std::string result;
    if (action == L"load") {
        HMODULE library = LoadResourceLibrary(L"VestrelRes");
        result += "library=" + ModuleName(library) + "\n";
        result += "text204=" + Text204(library) + "\n";
    } else if (action == L"construct") {
        ComPtr<IPkiAuthenticationPlugin> first = CreatePlugin();
        HMODULE afterFirst = CurrentResourceInstance();
        ComPtr<IPkiAuthenticationPlugin> second = CreatePlugin();
        HMODULE afterSecond = CurrentResourceInstance();
        result += "instance=" + ModuleName(afterSecond) + "\n";
        result += std::string("same_instance=") + (afterFirst == afterSecond ? "1" : "0") + "\n";
        UniqueBstr text;
        LONG returnCode = -1;
        if (second && second->GetStatusString(0x20CC, text.put(), &returnCode) == S_OK) {
            result += "status_0x20CC=" + ToUtf8(text.view()) + "\n";
        }
        // Two constructions, two loads: giving back one still leaves the
        // library in the process.
        if (afterSecond && afterSecond != ModuleHandle()) {
            ::FreeLibrary(afterSecond);
            result += std::string("loaded_after_one_free=") +
                      (::GetModuleHandleW(L"VestrelRes_en.dll") ? "1" : "0") + "\n";
        }
    }
    return result + "pid=" + std::to_string(::GetCurrentProcessId()) + "\n";
}

// The child's side. In a normal run of the program it has nothing to do.
TEST(ResourceLocaleChild, Run)
{
    const std::wstring action = EnvironmentText(L"QV_RESOURCE_CHILD_ACTION");
    if (action.empty()) GTEST_SKIP() << "runs only as the child of the locale cases";

    wchar_t program[MAX_PATH] = {};
    const std::wstring path(program, ::GetModuleFileNameW(nullptr, program, MAX_PATH));
    const std::string folder = ToUtf8(path.substr(0, path.rfind(L'\\')));

    ResetLogStateForTests();
    ASSERT_TRUE(OpenLog((folder + "\\log.txt").c_str(), 3));
    SetCurrentLogLevel(3);
    const std::string result = RunChildAction(action);
    CloseLog();

    {
        std::ofstream file(folder + "\\result.txt", std::ios::binary);
        file << result;
        ASSERT_TRUE(file.good());
    }

    UniqueHandle done(::OpenEventW(EVENT_MODIFY_STATE, FALSE, EnvironmentText(L"QV_RESOURCE_CHILD_EVENT").c_str()));
    ASSERT_TRUE(done);
    ::SetEvent(done.get());
}

const std::vector<std::wstring> kAllLibraries = {L"VestrelRes_en", L"VestrelRes_de", L"VestrelRes_zh-CHS",
                                                 L"VestrelRes_zh-CHT", L"VestrelRes_pt-BR"};

TEST(ResourceLibraryLoader, ChineseOfThePrcLoadsTheSimplifiedLibrary)
{
    ChildReport report = RunInLocale("zh_CN.UTF-8", kAllLibraries, "load");
    ASSERT_TRUE(report.finished);
    EXPECT_EQ(report.values["library"], "VestrelRes_zh-CHS.dll");
    EXPECT_EQ(report.values["text204"], "正在等待智能卡...");
    EXPECT_EQ(report.loaderRecords, Records{"found resource DLL: VestrelRes_zh-CHS.dll"}) << report.log;
}

TEST(ResourceLibraryLoader, ChineseOfTaiwanAndSingaporeLoadTheTraditionalLibrary)
{
    for (const char* locale : {"zh_TW.UTF-8", "zh_SG.UTF-8"}) {
        ChildReport report = RunInLocale(locale, kAllLibraries, "load");
        ASSERT_TRUE(report.finished) << locale;
        EXPECT_EQ(report.values["library"], "VestrelRes_zh-CHT.dll") << locale;
        EXPECT_EQ(report.values["text204"], "正在等待智慧卡...") << locale;
    }
}

TEST(ResourceLibraryLoader, PortugueseOfPortugalLoadsTheBrazilianLibraryAndLogsTheLocaleId)
{
    ChildReport report = RunInLocale("pt_PT.UTF-8", kAllLibraries, "load");
    ASSERT_TRUE(report.finished);
    EXPECT_EQ(report.values["library"], "VestrelRes_pt-BR.dll");
    EXPECT_EQ(report.loaderRecords, (Records{"locale id: 0816", "found resource DLL: VestrelRes_pt-BR.dll"}))
        << report.log;
}

TEST(ResourceLibraryLoader, GermanLoadsItsOwnLibraryWhenPresent)
{
    ChildReport report = RunInLocale("de_DE.UTF-8", kAllLibraries, "load");
    ASSERT_TRUE(report.finished);
    EXPECT_EQ(report.values["library"], "VestrelRes_de.dll");
    EXPECT_EQ(report.values["text204"], "Warten auf eine Smartcard...");
}

TEST(ResourceLibraryLoader, GermanWithOnlyEnglishPresentFallsBackToEnglish)
{
    ChildReport report = RunInLocale("de_DE.UTF-8", {L"VestrelRes_en"}, "load");
    ASSERT_TRUE(report.finished);
    EXPECT_EQ(report.values["library"], "VestrelRes_en.dll");
    EXPECT_EQ(report.values["text204"], "Waiting for a smart card...");
    EXPECT_EQ(report.loaderRecords, (Records{"*** didn't find VestrelRes_de.dll, try to load English version",
                                             "loading: VestrelRes_en.dll",
                                             "found resource DLL: VestrelRes_en.dll"}))
        << report.log;
}

TEST(ResourceLibraryLoader, EnglishMissingTriesTheSameFileTwiceAndGivesNull)
{
    ChildReport report = RunInLocale("en_US.UTF-8", {L"VestrelRes_de"}, "load");
    ASSERT_TRUE(report.finished);
    EXPECT_EQ(report.values["library"], "(null)");
    EXPECT_EQ(report.loaderRecords, (Records{"*** didn't find VestrelRes_en.dll, try to load English version",
                                             "loading: VestrelRes_en.dll",
                                             "*** English resource DLL not found: VestrelRes_en.dll, return NULL"}))
        << report.log;
}

TEST(ResourceLibraryLoader, ThreeLetterLanguageGivesNullWithoutTryingEnglish)
{
    ChildReport report = RunInLocale("haw_US.UTF-8", kAllLibraries, "load");
    ASSERT_TRUE(report.finished);
    EXPECT_EQ(report.values["library"], "(null)");
    EXPECT_TRUE(report.loaderRecords.empty()) << report.log;
}

TEST(ResourceLibraryLoader, EveryConstructionLoadsTheLibraryAndInstallsIt)
{
    ChildReport report = RunInLocale("en_US.UTF-8", {L"VestrelRes_en"}, "construct");
    ASSERT_TRUE(report.finished);
    EXPECT_EQ(report.values["instance"], "VestrelRes_en.dll");
    EXPECT_EQ(report.values["same_instance"], "1");
    EXPECT_EQ(report.values["status_0x20CC"], "Waiting for a smart card...");
    EXPECT_EQ(report.values["loaded_after_one_free"], "1");
    EXPECT_EQ(report.loaderRecords, (Records{"found resource DLL: VestrelRes_en.dll",
                                             "found resource DLL: VestrelRes_en.dll"}))
        << report.log;
}

}  // namespace
}  // namespace quorvex::test
