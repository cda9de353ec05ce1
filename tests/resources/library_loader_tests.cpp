// The resource library loader in real user locales. A Windows process takes
// its user locale from its Unix environment, so each case runs this program
// again as a child in the locale it needs, from a folder that holds only the
// libraries the case names (the program's folder, where the loader looks
// first).
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "logging/log_file.h"
#include "logging/log_level.h"
#include "logging/log_record.h"
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

// The name of the file a library handle maps. The loader maps libraries as
// data, which the list of loaded modules does not know.
std::string MappedFileName(HMODULE module)
{
    if (!module) return "(null)";
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetMappedFileNameW(::GetCurrentProcess(), module, path, MAX_PATH);
    return length ? std::filesystem::path(std::wstring(path, length)).filename().string() : "(not mapped)";
}

bool MappedAsData(HMODULE module) { return (reinterpret_cast<ULONG_PTR>(module) & 3) != 0; }

// Given back: nothing committed is left there. On x86 Wine hands an unmapped
// view's range back to its own reservation (MEM_RESERVE), not MEM_FREE.
bool Unmapped(HMODULE module)
{
    MEMORY_BASIC_INFORMATION region{};
    return ::VirtualQuery(module, &region, sizeof region) != 0 && region.State != MEM_COMMIT;
}

// What the child does: "load" calls the loader once; "construct" makes two
// plug-in objects and checks what each construction left behind.
std::string RunChildAction(const std::wstring& action)
{
    std::string result;
    if (action == L"load") {
        UniqueModule library = LoadResourceLibrary(L"VestrelRes");
        std::optional<std::wstring> text = library ? LoadModuleString(library.get(), 204) : std::nullopt;
        result += "library=" + MappedFileName(library.get()) + "\ntext204=" + (text ? ToUtf8(*text) : "(none)") + "\n";
    } else if (action == L"construct") {
        ComPtr<IPkiAuthenticationPlugin> first = CreatePlugin();
        HMODULE afterFirst = CurrentResourceInstance();
        ComPtr<IPkiAuthenticationPlugin> second = CreatePlugin();
        HMODULE afterSecond = CurrentResourceInstance();
        result += "library=" + MappedFileName(afterSecond) + "\nas_data=" + (MappedAsData(afterSecond) ? "1" : "0") +
                  "\nfirst_given_back=" + (afterFirst != afterSecond && Unmapped(afterFirst) ? "1" : "0");
        UniqueBstr text;
        LONG returnCode = -1;
        if (second && second->GetStatusString(0x20CC, text.put(), &returnCode) == S_OK)
            result += "\ntext204=" + ToUtf8(text.view());
        result += "\n";
    } else if (action == L"construct_on_two_threads") {
        // Both threads start together; each construction installs its own
        // mapping and gives back the one before, while the other thread reads.
        constexpr int kPerThread = 100;
        std::atomic<int> ready{0}, texts{0};
        const auto construct = [&] {
            ++ready;
            while (ready.load() < 2) ::SwitchToThread();
            for (int i = 0; i < kPerThread; ++i) {
                ComPtr<IPkiAuthenticationPlugin> plugin = CreatePlugin();
                UniqueBstr text;
                LONG returnCode = -1;
                if (plugin && plugin->GetStatusString(0x20CC, text.put(), &returnCode) == S_OK &&
                    text.view() == L"Waiting for a smart card...") {
                    ++texts;
                }
            }
        };
        std::thread other(construct);
        construct();
        other.join();
        result += "constructions=" + std::to_string(2 * kPerThread) + "\ntexts=" + std::to_string(texts.load()) + "\n";
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
    Records loaderRecords;                      // the messages of the located records of the loader's module
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
    const std::wstring eventName = L"QvResourceChild_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                                   std::to_wstring(++runs);
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
        {"pt_PT.UTF-8",
         all,
         "VestrelRes_pt-BR.dll",
         "Aguardando um cartão inteligente...",
         {"locale id: 0816", "found resource DLL: VestrelRes_pt-BR.dll"}},
        {"de_DE.UTF-8", all, "VestrelRes_de.dll", "Warten auf eine Smartcard...", {}},
        {"de_DE.UTF-8",
         englishOnly,
         "VestrelRes_en.dll",
         "Waiting for a smart card...",
         {"*** didn't find VestrelRes_de.dll, try to load English version", "loading: VestrelRes_en.dll",
          "found resource DLL: VestrelRes_en.dll"}},
        // English missing: the same file is tried twice.
        {"en_US.UTF-8",
         germanOnly,
         "(null)",
         "(none)",
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

// Each load maps the file anew: the mapping a construction replaces is given
// back, so constructions do not pile up mappings.
TEST(ResourceLibraryLoader, EveryConstructionLoadsTheLibraryAndInstallsIt)
{
    ChildReport report = RunInLocale("en_US.UTF-8", {L"VestrelRes_en"}, "construct");
    EXPECT_EQ(report.values["library"], "VestrelRes_en.dll");
    EXPECT_EQ(report.values["as_data"], "1");
    EXPECT_EQ(report.values["text204"], "Waiting for a smart card...") << "GetStatusString of 0x20CC";
    EXPECT_EQ(report.values["first_given_back"], "1");
    EXPECT_EQ(report.loaderRecords,
              (Records{"found resource DLL: VestrelRes_en.dll", "found resource DLL: VestrelRes_en.dll"}))
        << report.log;
}

// Two threads constructing at once: every construction finds its library and
// writes one whole record with its own position, and no text is read from a
// mapping that another construction gave back.
TEST(ResourceLibraryLoader, ConstructionsOnTwoThreadsAtOnceWriteWholeRecordsAndReadLiveTexts)
{
    ChildReport report = RunInLocale("en_US.UTF-8", {L"VestrelRes_en"}, "construct_on_two_threads");
    const std::string constructions = report.values["constructions"];
    ASSERT_FALSE(constructions.empty()) << "the child did not finish";
    EXPECT_EQ(report.values["texts"], constructions);
    EXPECT_EQ(std::to_string(report.loaderRecords.size()), constructions);
    const std::regex whole(
        R"(\d\d:\d\d:\d\d\.\d{3} \[\d{4,}\] +Glsapi\.cpp:(\d+)   found resource DLL: VestrelRes_en\.dll)");
    std::set<std::string> lines;
    std::istringstream log(report.log);
    for (std::string line; std::getline(log, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find("Glsapi.cpp") == std::string::npos) continue;
        std::smatch match;
        EXPECT_TRUE(std::regex_match(line, match, whole)) << line;
        if (!match.empty()) lines.insert(match[1]);
    }
    EXPECT_EQ(lines.size(), 1u) << "every record names the one statement that wrote it";
}

bool PlantedEntryPointRan() { return ::GetEnvironmentVariableW(L"QV_PLANTED_ENTRY_POINT_RAN", nullptr, 0) != 0; }

// A library whose entry point runs code: the loader runs none of it, and takes
// the library from the program's folder only, never from the current
// directory or a folder on PATH.
TEST(ResourceLibraryLoader, RunsNoCodeOfTheLibraryAndLooksOnlyInTheProgramFolder)
{
    wchar_t language[3] = {};
    if (::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SISO639LANGNAME, language, 3) == 0) {
        GTEST_SKIP() << "the user locale's language name has three letters: nothing is loaded at all";
    }
    const std::wstring planted = BuiltResourceLibrary(L"planted_entry_point");
    const std::wstring base = L"QvPlanted" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring programFolder = FolderOf(ModulePath(nullptr));
    TempDirectory other;
    const std::wstring otherFolder = std::filesystem::path(other.path()).wstring();
    wchar_t directory[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, directory);
    const std::wstring path = _wgetenv(L"PATH") ? _wgetenv(L"PATH") : L"";
    enum Place { kProgramFolder, kCurrentDirectory, kPath };
    const struct {
        Place place;
        const char* what;
        bool found;
    } cases[] = {
        {kProgramFolder, "in the program's folder", true},
        {kCurrentDirectory, "in the current directory", false},
        {kPath, "in a folder on PATH", false},
    };
    for (const auto& c : cases) {
        const std::wstring copy = (c.place == kProgramFolder ? programFolder : otherFolder) + L"\\" + base + L"_en.dll";
        ASSERT_TRUE(::CopyFileW(planted.c_str(), copy.c_str(), FALSE)) << c.what;
        if (c.place == kCurrentDirectory) ::SetCurrentDirectoryW(otherFolder.c_str());
        if (c.place == kPath) ::SetEnvironmentVariableW(L"PATH", (otherFolder + L";" + path).c_str());
        {
            UniqueModule library = LoadResourceLibrary(base.c_str());
            EXPECT_EQ(static_cast<bool>(library), c.found) << c.what;
            if (library) {
                EXPECT_TRUE(MappedAsData(library.get())) << c.what;
                const std::optional<std::wstring> text = LoadModuleString(library.get(), 204);
                EXPECT_EQ(text.value_or(L"(none)"), L"Waiting for a smart card...") << c.what;
            }
        }
        ::SetCurrentDirectoryW(directory);
        ::SetEnvironmentVariableW(L"PATH", path.c_str());
        EXPECT_TRUE(::DeleteFileW(copy.c_str())) << c.what;
        EXPECT_FALSE(PlantedEntryPointRan()) << c.what;
    }
    // The mark works: loaded as code, the library does run its entry point.
    const std::wstring copy = otherFolder + L"\\" + base + L"_en.dll";
    ASSERT_TRUE(::CopyFileW(planted.c_str(), copy.c_str(), FALSE));
    UniqueModule code(::LoadLibraryW(copy.c_str()));
    ASSERT_TRUE(code);
    EXPECT_TRUE(PlantedEntryPointRan());
}

}  // namespace
}  // namespace quorvex::test
