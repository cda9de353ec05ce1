// Scenario files: commands, timed actions, error reporting, the environment.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim_test_util.h"

using namespace scardsim_test;

namespace {

// A scenario in /tmp, reachable both as a Unix path and as Z:\tmp\...
class ScenarioFile {
 public:
  explicit ScenarioFile(const std::string& text, const wchar_t* suffix = L".txt") {
    static int counter = 0;
    const std::wstring name =
        L"scardsim-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter) + suffix;
    unixPath_ = L"/tmp/" + name;
    windowsPath_ = L"Z:\\tmp\\" + name;
    std::ofstream(std::filesystem::path(windowsPath_), std::ios::binary) << text;
  }
  ~ScenarioFile() { DeleteFileW(windowsPath_.c_str()); }
  const std::wstring& unixPath() const { return unixPath_; }
  const std::wstring& windowsPath() const { return windowsPath_; }

 private:
  std::wstring unixPath_, windowsPath_;
};

// Collects what the service writes to stderr while it lives.
class StderrCapture {
 public:
  StderrCapture() : file_(L"Z:\\tmp\\scardsim-stderr-" + std::to_wstring(GetCurrentProcessId()) + L".txt") {
    std::fflush(stderr);
    saved_ = _dup(2);
    const int fd = _wopen(file_.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    _dup2(fd, 2);
    _close(fd);
  }
  ~StderrCapture() {
    Stop();
    DeleteFileW(file_.c_str());
  }
  std::string Stop() {
    if (saved_ >= 0) {
      std::fflush(stderr);
      _dup2(saved_, 2);
      _close(saved_);
      saved_ = -1;
    }
    std::ifstream in(std::filesystem::path(file_), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  std::wstring file_;
  int saved_ = -1;
};

std::vector<std::wstring> ReaderNames() {
  ScopedContext context;
  LPWSTR list = nullptr;
  DWORD length = SCARD_AUTOALLOCATE;
  if (SCardListReadersW(context.get(), nullptr, reinterpret_cast<LPWSTR>(&list), &length) != SCARD_S_SUCCESS) return {};
  std::vector<std::wstring> names = SplitMultiString(list);
  SCardFreeMemory(context.get(), list);
  return names;
}

class Scenario : public SimulatedServiceTest {};

TEST_F(Scenario, CommandsBuildReadersCardsAndDatabase) {
  ScenarioFile file(
      "# two readers, one card type, a mute card and a card that will not connect\r\n"
      "reader \"Quorvex Reader 0\"\r\n"
      "reader \"Quorvex Reader 1\"   # trailing comment\n"
      "\n"
      "cardtype \"Quorvex Demo Card\" 3B:83:80:01:51:56:58:5D csp \"Quorvex Demo CSP\"\n"
      "insert \"Quorvex Reader 0\" 3B83800151565 8 mute\n"
      "insert \"Quorvex Reader 1\" 3B:83:80:01:51:56:58:5D connect=SCARD_W_UNPOWERED_CARD\n");
  // The bad ATR on line 6 must have refused the whole file.
  EXPECT_EQ(SimLoadScenario(file.windowsPath().c_str()), LONG{ERROR_BAD_FORMAT});
  EXPECT_TRUE(ReaderNames().empty());

  ScenarioFile good(
      "reader \"Quorvex Reader 0\"\n"
      "reader \"Quorvex Reader 1\"\n"
      "cardtype \"Quorvex Demo Card\" 3B:83:80:01:51:56:58:5D csp \"Quorvex Demo CSP\"\n"
      "insert \"Quorvex Reader 0\" 3B8380015156585D mute\n"
      "insert \"Quorvex Reader 1\" 3B:83:80:01:51:56:58:5D connect=0x80100067\n");
  ASSERT_EQ(SimLoadScenario(good.windowsPath().c_str()), 0);
  EXPECT_EQ(ReaderNames(), (std::vector<std::wstring>{L"Quorvex Reader 0", L"Quorvex Reader 1"}));

  ScopedContext context;
  SCARD_READERSTATEW records[] = {Record(L"Quorvex Reader 0"), Record(L"Quorvex Reader 1")};
  ASSERT_EQ(SCardGetStatusChangeW(context.get(), 0, records, 2), SCARD_S_SUCCESS);
  EXPECT_TRUE(records[0].dwEventState & SCARD_STATE_MUTE);
  EXPECT_EQ(std::vector<BYTE>(records[1].rgbAtr, records[1].rgbAtr + records[1].cbAtr), kDualAtr);
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  EXPECT_EQ(SCardConnectW(context.get(), L"Quorvex Reader 1", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &protocol),
            SCARD_W_UNPOWERED_CARD);

  wchar_t provider[64];
  DWORD length = 64;
  ASSERT_EQ(SCardGetCardTypeProviderNameW(context.get(), L"Quorvex Demo Card", SCARD_PROVIDER_CSP, provider, &length),
            SCARD_S_SUCCESS);
  EXPECT_STREQ(provider, L"Quorvex Demo CSP");
}

TEST_F(Scenario, TimedInsertArrivesLaterFromTheBackground) {
  ScenarioFile file(
      "reader \"Timed\"\n"
      "at 300 insert \"Timed\" 3B:02:14:50\n"
      "at 300 inject SCardConnectW 0x80100066 1\n");
  ASSERT_EQ(SimLoadScenario(file.unixPath().c_str()), 0) << "a Unix path is reached through Z:";
  ScopedContext context;
  SCARD_READERSTATEW record = Record(L"Timed");
  ASSERT_EQ(SCardGetStatusChangeW(context.get(), 0, &record, 1), SCARD_S_SUCCESS);
  EXPECT_EQ(LOWORD(record.dwEventState), SCARD_STATE_EMPTY | SCARD_STATE_CHANGED) << "not yet inserted at load";
  record.dwCurrentState = record.dwEventState;
  ASSERT_EQ(SCardGetStatusChangeW(context.get(), 10000, &record, 1), SCARD_S_SUCCESS);
  EXPECT_TRUE(record.dwEventState & SCARD_STATE_PRESENT);
  EXPECT_EQ(std::vector<BYTE>(record.rgbAtr, record.rgbAtr + record.cbAtr), kT0Atr);
}

TEST_F(Scenario, ResetDropsPendingTimedActions) {
  ScenarioFile file("reader \"Timed\"\nat 200 service stopped\n");
  ASSERT_EQ(SimLoadScenario(file.windowsPath().c_str()), 0);
  SimReset();
  Sleep(400);
  SCARDCONTEXT context = 0;
  ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_S_SUCCESS);
  EXPECT_EQ(SCardReleaseContext(context), SCARD_S_SUCCESS);
}

TEST_F(Scenario, ErrorNamesTheLineAndAppliesNothing) {
  struct Case {
    const char* text;
    const char* expected;
  } cases[] = {
      {"reader \"A\"\n\nreader \"Unclosed\n", "(3): missing closing quote"},
      {"reader \"A\"\n# fine\nservice sleeping\n", "(3): unknown service state"},
      {"reader \"A\"\ninsrt \"A\" 3B:02:14:50\n", "(2): unknown command \"insrt\""},
      {"reader \"A\"\ninsert \"B\" 3B:02:14:50\n", "(2): unknown reader \"B\""},
      {"reader \"A\"\nat soon remove \"A\"\n", "(2): usage: at"},
  };
  for (const Case& c : cases) {
    ScenarioFile file(c.text);
    StderrCapture capture;
    EXPECT_EQ(SimLoadScenario(file.windowsPath().c_str()), LONG{ERROR_BAD_FORMAT}) << c.text;
    const std::string message = capture.Stop();
    EXPECT_NE(message.find(c.expected), std::string::npos) << message;
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << "one message: " << message;
    SimReset();
  }
}

TEST_F(Scenario, MissingFileReportsTheSystemError) {
  StderrCapture capture;
  EXPECT_EQ(SimLoadScenario(L"Z:\\tmp\\scardsim-no-such-scenario.txt"), LONG{ERROR_FILE_NOT_FOUND});
  EXPECT_NE(capture.Stop().find("scardsim-no-such-scenario"), std::string::npos);
}

// The environment is read once per process, on the first call into the DLL:
// a child process of this program checks it.
TEST(ScenarioFromEnvironment, LoadsOnFirstUseInANewProcess) {
  ScenarioFile file("reader \"Env Reader\"\ninsert \"Env Reader\" 3B:02:14:50\n");
  const std::wstring done = file.windowsPath() + L".done";
  wchar_t exe[MAX_PATH];
  ASSERT_NE(GetModuleFileNameW(nullptr, exe, MAX_PATH), 0u);
  std::wstring command = L"\"" + std::wstring(exe) + L"\" --gtest_filter=ScenarioFromEnvironmentChild.*";
  SetEnvironmentVariableW(L"SCARDSIM_SCENARIO", file.unixPath().c_str());
  SetEnvironmentVariableW(L"SCARDSIM_TEST_DONE", done.c_str());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const BOOL started =
      CreateProcessW(exe, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
  SetEnvironmentVariableW(L"SCARDSIM_SCENARIO", nullptr);
  SetEnvironmentVariableW(L"SCARDSIM_TEST_DONE", nullptr);
  ASSERT_TRUE(started) << GetLastError();
  EXPECT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(exitCode, 0u);
  EXPECT_NE(GetFileAttributesW(done.c_str()), INVALID_FILE_ATTRIBUTES) << "the child did not confirm";
  DeleteFileW(done.c_str());
}

TEST(ScenarioFromEnvironmentChild, SeesTheScenarioWithoutAnyControlCall) {
  wchar_t done[MAX_PATH];
  if (!GetEnvironmentVariableW(L"SCARDSIM_TEST_DONE", done, MAX_PATH)) {
    GTEST_SKIP() << "runs only as the child of ScenarioFromEnvironment";
  }
  EXPECT_EQ(ReaderNames(), (std::vector<std::wstring>{L"Env Reader"}));
  ScopedContext context;
  SCARD_READERSTATEW record = Record(L"Env Reader");
  ASSERT_EQ(SCardGetStatusChangeW(context.get(), 0, &record, 1), SCARD_S_SUCCESS);
  EXPECT_TRUE(record.dwEventState & SCARD_STATE_PRESENT);
  if (!HasFailure()) std::ofstream(std::filesystem::path(done)) << "ok";
}

}  // namespace
