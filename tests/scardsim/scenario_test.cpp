// Scenario files: commands, timed actions, error reporting, the environment.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "sim_test_util.h"
#include "support/temp_directory.h"

using namespace scardsim_test;

namespace {

// A scenario in /tmp, reachable both as a Unix path and as Z:\tmp\...
class ScenarioFile {
public:
    explicit ScenarioFile(const std::string& text)
    {
        static int counter = 0;
        name_ = L"scardsim-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter) + L".txt";
        std::ofstream(std::filesystem::path(path()), std::ios::binary) << text;
    }
    ~ScenarioFile() { DeleteFileW(path().c_str()); }
    std::wstring path() const { return L"Z:\\tmp\\" + name_; }
    std::wstring unixPath() const { return L"/tmp/" + name_; }

private:
    std::wstring name_;
};

// What the service writes to stderr while `action` runs.
template <class Action>
std::string Stderr(Action action)
{
    ScenarioFile capture("");
    std::fflush(stderr);
    const int saved = _dup(2);
    const int fd = _wopen(capture.path().c_str(), _O_TRUNC | _O_WRONLY | _O_BINARY);
    _dup2(fd, 2);
    _close(fd);
    action();
    std::fflush(stderr);
    _dup2(saved, 2);
    _close(saved);
    return quorvex::test::ReadFileBytes(std::filesystem::path(capture.path()).string());
}

class Scenario : public SimWithContext {};

TEST_F(Scenario, CommandsBuildReadersCardsAndDatabase)
{
    ScenarioFile file(
        "# two readers, one card type, a mute card and a card that will not connect\r\n"
        "reader \"Quorvex Reader 0\"\r\n"
        "reader \"Quorvex Reader 1\"   # trailing comment\n"
        "\n"
        "cardtype \"Quorvex Demo Card\" 3B:83:80:01:51:56:58:5D csp \"Quorvex Demo CSP\"\n"
        "insert \"Quorvex Reader 0\" 3B8380015156585D mute\n"
        "insert \"Quorvex Reader 1\" 3B:83:80:01:51:56:58:5D connect=0x80100067\n");
    ASSERT_EQ(SimLoadScenario(file.path().c_str()), 0);
    wchar_t names[64];
    DWORD length = 64;
    ASSERT_EQ(SCardListReadersW(context_, nullptr, names, &length), SCARD_S_SUCCESS);
    EXPECT_EQ(SplitMultiString(names, length), (std::vector<std::wstring>{L"Quorvex Reader 0", L"Quorvex Reader 1"}));
    SCARD_READERSTATEW records[] = {Record(L"Quorvex Reader 0"), Record(L"Quorvex Reader 1")};
    ASSERT_EQ(SCardGetStatusChangeW(context_, 0, records, 2), SCARD_S_SUCCESS);
    EXPECT_TRUE(records[0].dwEventState & SCARD_STATE_MUTE);
    EXPECT_EQ(Atr(records[1]), kDualAtr);
    SCARDHANDLE card = 0;
    EXPECT_EQ(Connect(L"Quorvex Reader 1", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, card), SCARD_W_UNPOWERED_CARD);
    length = 64;
    ASSERT_EQ(SCardGetCardTypeProviderNameW(context_, L"Quorvex Demo Card", SCARD_PROVIDER_CSP, names, &length),
              SCARD_S_SUCCESS);
    EXPECT_STREQ(names, L"Quorvex Demo CSP");
}

TEST_F(Scenario, TimedActionsArriveLaterFromTheBackgroundUntilAReset)
{
    ScenarioFile file("reader \"Timed\"\nat 300 insert \"Timed\" 3B:02:14:50\n");
    ASSERT_EQ(SimLoadScenario(file.unixPath().c_str()), 0) << "a Unix path is reached through Z:";
    SCARD_READERSTATEW record = Record(L"Timed");
    ASSERT_EQ(SCardGetStatusChangeW(context_, 0, &record, 1), SCARD_S_SUCCESS);
    EXPECT_EQ(record.dwEventState, DWORD{SCARD_STATE_EMPTY | SCARD_STATE_CHANGED}) << "not yet inserted at load";
    record.dwCurrentState = record.dwEventState;
    ASSERT_EQ(SCardGetStatusChangeW(context_, 10000, &record, 1), SCARD_S_SUCCESS);
    EXPECT_TRUE(record.dwEventState & SCARD_STATE_PRESENT);
    EXPECT_EQ(Atr(record), kT0Atr);

    ScenarioFile stop("at 200 service stopped\n");
    ASSERT_EQ(SimLoadScenario(stop.path().c_str()), 0);
    SimReset();
    Sleep(400);
    SCARDCONTEXT context = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_S_SUCCESS)
        << "the reset dropped the pending stop";
    EXPECT_EQ(SCardReleaseContext(context), SCARD_S_SUCCESS);
}

// A client that unloads the service while a timed action is pending (the
// plug-in's DLL going at CoUninitialize) must not leave the timer thread in
// unmapped code. A copy under another name is a module of its own to unload.
TEST(ScenarioUnload, TheTimerThreadKeepsTheServiceLoaded)
{
    quorvex::test::TempDirectory folder;
    const std::wstring copy = std::filesystem::path(folder.path()).wstring() + L"\\simcopy.dll";
    wchar_t original[MAX_PATH];
    ASSERT_TRUE(GetModuleFileNameW(GetModuleHandleW(L"winscard.dll"), original, MAX_PATH));
    ASSERT_TRUE(CopyFileW(original, copy.c_str(), FALSE));
    HMODULE service = LoadLibraryW(copy.c_str());
    ASSERT_TRUE(service);
    using LoadFn = LONG(SIMAPI*)(LPCWSTR);
    auto load = reinterpret_cast<LoadFn>(reinterpret_cast<void*>(GetProcAddress(service, "SimLoadScenario")));
    ASSERT_TRUE(load);
    ScenarioFile file("reader \"Unloaded\"\nat 200 insert \"Unloaded\" 3B:02:14:50\n");
    ASSERT_EQ(load(file.path().c_str()), 0);
    FreeLibrary(service);
    Sleep(400);  // the timed action runs meanwhile: in unmapped code unless pinned
    EXPECT_EQ(GetModuleHandleW(copy.c_str()), service);
}

TEST_F(Scenario, ErrorNamesTheLineInOneMessageAndAParseErrorAppliesNothing)
{
    struct Case {
        const char* text;
        const char* expected;
        bool parsed;  // the file parsed, so the commands before the failing one stay applied
    } cases[] = {
        {"reader \"A\"\n\nreader \"Unclosed\n", "(3): missing closing quote", false},
        {"reader \"A\"\n# fine\nservice sleeping\n", "(3): unknown service state", false},
        {"reader \"A\"\ninsrt \"A\" 3B:02:14:50\n", "(2): unknown command \"insrt\"", false},
        {"reader \"A\"\ninsert \"A\" 3B83800151565 8\n", "(2): bad ATR \"3B83800151565\"", false},
        {"reader \"A\"\nat soon remove \"A\"\n", "(2): usage: at", false},
        {"reader \"A\"\ninsert \"B\" 3B:02:14:50\n", "(2): unknown reader \"B\"", true},
    };
    for (const Case& c : cases) {
        ScenarioFile file(c.text);
        const std::string message = Stderr(
            [&] { EXPECT_EQ(SimLoadScenario(file.path().c_str()), LONG{ERROR_BAD_FORMAT}) << c.text; });
        EXPECT_NE(message.find(c.expected), std::string::npos) << message;
        EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << "one message: " << message;
        EXPECT_EQ(SimRemoveReader(L"A") != FALSE, c.parsed) << c.text;
    }
    const std::string message = Stderr(
        [] { EXPECT_EQ(SimLoadScenario(L"Z:\\tmp\\scardsim-no-such-file.txt"), LONG{ERROR_FILE_NOT_FOUND}); });
    EXPECT_NE(message.find("scardsim-no-such-file"), std::string::npos) << message;
}

}  // namespace
