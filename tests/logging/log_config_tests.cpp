// Configuration from the real policy key: module names, the precedence of the
// level values, the log path value and the two value readers.
#include <windows.h>

#include <optional>
#include <string>

#include "log_test_support.h"
#include "logging/log.h"
#include "logging/log_config.h"
#include "support/policy_key_editor.h"
#include "win/unique_handle.h"

namespace quorvex::test {
namespace {

class LogConfig : public LogTest {
protected:
    std::string DefaultPath() const { return directory_.Child("default.txt"); }
    void Configure(const char* name, int requestedLevel)
    {
        ResetLogStateForTests();
        ConfigureLogModule(DefaultPath().c_str(), name, requestedLevel);
    }
    PolicyKeyEditor policy_;
};

TEST_F(LogConfig, LevelPrecedence)
{
    struct Row {
        bool keyPresent;
        std::optional<DWORD> mainLevel;
        std::optional<DWORD> defaultLevel;
        int requested;
        int expected;
    };
    const Row rows[] = {
        {false, std::nullopt, std::nullopt, 0, 1},  // nothing configured: the initial level
        {false, std::nullopt, std::nullopt, 3, 3},  // no key: the caller's level stands
        {true, std::nullopt, std::nullopt, 3, 1},   // a missing value overrides the caller
        {true, 3, 1, 0, 3},                         // the per-module level wins
        {true, 1, 4, 0, 1},
        {true, 4, std::nullopt, 0, 4},
        {true, 0, 2, 0, 2},  // 0 defers to the default
        {true, std::nullopt, 2, 0, 2},
        {true, 7, std::nullopt, 0, 1},  // out of range: ignored
        {true, 7, 2, 0, 2},
        {true, 7, std::nullopt, 3, 3},  // ignored, so the caller's level stands
        {true, std::nullopt, 9, 0, 1},
        {true, std::nullopt, 0, 0, 0},
    };
    for (const Row& row : rows) {
        policy_.DeleteKey();
        if (row.keyPresent) policy_.SetString(L"Unrelated", L"x");
        if (row.mainLevel) policy_.SetDword(L"MainLogLevel", *row.mainLevel);
        if (row.defaultLevel) policy_.SetDword(L"DefaultLogLevel", *row.defaultLevel);
        Configure("Main", row.requested);
        EXPECT_EQ(CurrentLogLevel(), row.expected)
            << (row.keyPresent ? "" : "no key, ") << "MainLogLevel " << (row.mainLevel ? std::to_string(*row.mainLevel) : "absent") << ", DefaultLogLevel "
            << (row.defaultLevel ? std::to_string(*row.defaultLevel) : "absent") << ", requested " << row.requested;
        EXPECT_EQ(CurrentLogStream(), LogStream::File);
    }
}

TEST_F(LogConfig, OnlyTheKnownModuleNamesReadTheirValues)
{
    const std::string configured = directory_.Child("configured.txt");
    for (const char* name : {"Main", "MAIN", "main"}) {
        policy_.DeleteKey();
        policy_.SetString(L"MainLogFile", std::wstring(configured.begin(), configured.end()));
        policy_.SetDword(L"MainLogLevel", 3);
        Configure(name, 0);
        EXPECT_EQ(ResolvedLogPath(), configured) << name;
        EXPECT_EQ(CurrentLogLevel(), 3) << name;
    }
    policy_.SetString(L"GinaLogFile", L"<stdout>");
    Configure("gina", 0);
    EXPECT_EQ(CurrentLogStream(), LogStream::StandardOutput);

    // A name that merely begins with a known one reads nothing, but the level
    // rule on open still consults DefaultLogLevel.
    policy_.SetDword(L"DefaultLogLevel", 2);
    Configure("Mainframe", 0);
    EXPECT_EQ(ResolvedLogPath(), DefaultPath());
    EXPECT_EQ(CurrentLogLevel(), 2);
    Configure("Mainframe", 4);
    EXPECT_EQ(CurrentLogLevel(), 4);
}

TEST_F(LogConfig, ModuleConfigurationWithoutPolicyKeyUsesTheDefaultFile)
{
    ConfigureModuleLog();
    EXPECT_EQ(ResolvedLogPath(), "C:\\ProgramData\\Tavrix\\Vestrel\\Quorvex.txt");
    EXPECT_EQ(CurrentLogStream(), LogStream::File);
    EXPECT_EQ(CurrentLogLevel(), 1);
}

TEST_F(LogConfig, DefaultLevelZeroOpensTheFileButWritesNothing)
{
    policy_.SetDword(L"DefaultLogLevel", 0);
    Configure("Main", 0);
    EXPECT_EQ(CurrentLogStream(), LogStream::File);
    TraceScope scope;
    QV_LOG(1, scope, "*** error");
    CloseLog();
    EXPECT_EQ(FileSize(DefaultPath()), 0);
}

TEST_F(LogConfig, LogFileValue)
{
    policy_.SetString(L"MainLogFile", L"");
    Configure("Main", 0);
    EXPECT_EQ(ResolvedLogPath(), DefaultPath()) << "an empty value keeps the default path";

    // Stored as REG_EXPAND_SZ and still not expanded; the log keyword is honoured.
    const std::wstring unique = L"QuorvexConfigTest-" + std::to_wstring(::GetCurrentProcessId()) + L".txt";
    policy_.SetString(L"MainLogFile", L"%TAVRIXLOGDIR\\" + unique, REG_EXPAND_SZ);
    Configure("Main", 0);
    const std::string expected = "C:\\ProgramData\\Tavrix\\Vestrel\\" + std::string(unique.begin(), unique.end());
    EXPECT_EQ(ResolvedLogPath(), expected);
    CloseLog();
    ::DeleteFileA(expected.c_str());

    std::string longPath = directory_.Child("");
    longPath += std::string(300 - longPath.size() - 4, 'L') + ".txt";
    policy_.SetString(L"MainLogFile", std::wstring(longPath.begin(), longPath.end()));
    Configure("Main", 0);
    EXPECT_EQ(ResolvedLogPath(), longPath) << "a 300-character value is read in full";
}

TEST_F(LogConfig, StandardOutputValueWithoutLevelSwitchesRecordsOff)
{
    policy_.SetString(L"MainLogFile", L"<stdout>");
    policy_.SetDword(L"DefaultLogLevel", 3);
    Configure("Main", 0);
    EXPECT_EQ(CurrentLogStream(), LogStream::StandardOutput);
    EXPECT_EQ(CurrentLogLevel(), 0);
    policy_.SetDword(L"MainLogLevel", 2);
    Configure("Main", 0);
    EXPECT_EQ(CurrentLogLevel(), 2);
}

TEST_F(LogConfig, UnopenableOrUnexpandablePathLeavesTheLevelToTheFallback)
{
    const std::string blocker = directory_.Child("blocker");
    ASSERT_TRUE(WriteFileBytes(blocker, "x"));
    const std::string unopenable = blocker + "\\log.txt";
    policy_.SetString(L"MainLogFile", std::wstring(unopenable.begin(), unopenable.end()));
    policy_.SetDword(L"MainLogLevel", 3);
    Configure("Main", 0);
    EXPECT_EQ(CurrentLogStream(), LogStream::None);
    EXPECT_EQ(CurrentLogLevel(), 1) << "MainLogLevel is not applied when the file does not open";

    policy_.SetString(L"MainLogFile", L"%SYSTEMROOT\\log.txt");
    Configure("Main", 0);  // must return normally
    EXPECT_EQ(CurrentLogStream(), LogStream::None);
    EXPECT_EQ(CurrentLogLevel(), 1);

    // The first record opens the fallback file, whose level comes from
    // DefaultLogLevel alone.
    policy_.SetDword(L"DefaultLogLevel", 2);
    QV_LOG_PLAIN(1, "*** needs a stream");
    EXPECT_EQ(ResolvedLogPath(), "C:\\ProgramData\\Tavrix\\Vestrel\\Unknown.txt");
    EXPECT_EQ(CurrentLogLevel(), 2);
}

class PolicyValueReaders : public ::testing::Test {
protected:
    HKEY Key()
    {
        if (!key_) {
            EXPECT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKeyPath, 0, KEY_READ, key_.put()), ERROR_SUCCESS);
        }
        return key_.get();
    }
    PolicyKeyEditor policy_;
    UniqueHkey key_;
};

TEST_F(PolicyValueReaders, StringReader)
{
    const std::wstring longText(300, L'p');
    policy_.SetString(L"Plain", L"C:\\logs\\q.txt");
    policy_.SetString(L"Expand", L"%TEMP%\\q.txt", REG_EXPAND_SZ);
    policy_.SetString(L"Long", longText);
    policy_.SetRaw(L"NoData", REG_SZ, nullptr, 0);
    // The registry adds a forgotten terminator when one follows in memory:
    // these buffers carry a further character so that none is added.
    policy_.SetRaw(L"OddCount", REG_SZ, L"abcd", 5);
    policy_.SetRaw(L"Unterminated", REG_SZ, L"abcd", 6);
    policy_.SetString(L"Multi", L"a", REG_MULTI_SZ);
    policy_.SetDword(L"Number", 3);

    EXPECT_EQ(ReadPolicyString(Key(), L"Plain", L"d"), L"C:\\logs\\q.txt");
    EXPECT_EQ(ReadPolicyString(Key(), L"plain", L"d"), L"C:\\logs\\q.txt") << "names ignore case";
    EXPECT_EQ(ReadPolicyString(Key(), L"Expand", L"d"), L"%TEMP%\\q.txt");
    EXPECT_EQ(ReadPolicyString(Key(), L"Long", L"d"), longText);
    EXPECT_EQ(ReadPolicyString(Key(), L"NoData", L"d"), L"");
    EXPECT_EQ(ReadPolicyString(Key(), L"OddCount", L"d"), L"d");
    EXPECT_EQ(ReadPolicyString(Key(), L"Unterminated", L"d"), L"d");
    EXPECT_EQ(ReadPolicyString(Key(), L"Multi", L"d"), L"d");
    EXPECT_EQ(ReadPolicyString(Key(), L"Number", L"d"), L"d");
    EXPECT_EQ(ReadPolicyString(Key(), L"Missing", L"d"), L"d");
}

TEST_F(PolicyValueReaders, DwordReader)
{
    const ULONGLONG wide = 2;
    const BYTE bytes[4] = {2, 0, 0, 0};
    policy_.SetDword(L"Level", 2);
    policy_.SetString(L"Text", L"2");
    policy_.SetRaw(L"Binary", REG_BINARY, bytes, sizeof(bytes));
    policy_.SetRaw(L"Quad", REG_QWORD, &wide, sizeof(wide));

    EXPECT_EQ(ReadPolicyDword(Key(), L"Level", 99), 2u);
    EXPECT_EQ(ReadPolicyDword(Key(), L"Text", 99), 99u);
    EXPECT_EQ(ReadPolicyDword(Key(), L"Binary", 99), 99u);
    EXPECT_EQ(ReadPolicyDword(Key(), L"Quad", 99), 99u);
    EXPECT_EQ(ReadPolicyDword(Key(), L"Missing", 99), 99u);
}

}  // namespace
}  // namespace quorvex::test
