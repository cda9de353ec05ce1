// From a log path and the real policy key to an open log stream: keyword
// expansion, directories, appending, standard output, the fallback file, the
// level precedence and the two policy value readers.
#include <share.h>

#include <algorithm>
#include <cstdio>

#include "log_test_support.h"
#include "win/unique_hkey.h"

namespace quorvex::test {
namespace {

const std::string kLogDirectory = "C:\\ProgramData\\Tavrix\\Vestrel\\";
const std::string kUnknownFile = kLogDirectory + "Unknown.txt";

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

TEST(ExpandLogPath, KeywordRules)
{
    const std::pair<const char*, const char*> cases[] = {
        // nullptr: the expansion fails
        {"%TAVRIXLOGDIR\\Quorvex.txt", "C:\\ProgramData\\Tavrix\\Vestrel\\Quorvex.txt"},
        {"%TAVRIXLOGDIR", "C:\\ProgramData\\Tavrix\\Vestrel"},
        {"%TAVRIXLOGDIR%\\x.txt", "C:\\ProgramData\\Tavrix\\Vestrel%\\x.txt"},
        {"%TAVRIXLOGDIR.txt", "C:\\ProgramData\\Tavrix\\Vestrel.txt"},
        {"D:\\logs\\%TAVRIXLOGDIR.txt", "D:\\logs\\%TAVRIXLOGDIR.txt"},
        {"relative.txt", "relative.txt"},
        {"%tavrixlogdir\\x.txt", nullptr},
        {"%TavrixLogDir\\x.txt", nullptr},
        {"%TAVRIXLOGDIRS\\x.txt", nullptr},
        {"%TAVRIXLOGDIR2\\x.txt", nullptr},
        {"%TAVRIXLOGDIR_\\x.txt", nullptr},
        {"%WINDIR\\x.txt", nullptr},
        {"%\\x.txt", nullptr}};
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(ExpandLogPath(path).value_or("(fails)"), expected ? expected : "(fails)") << path;
    }
}

using LogFile = LogTest;

TEST_F(LogFile, MissingDirectoryChainIsCreatedAndRecordsAlwaysGoToTheEndOfTheFile)
{
    logPath_ = directory_.Child("one\\two\\three\\deep.txt");
    ASSERT_TRUE(OpenLog(logPath_.c_str(), 3));
    EXPECT_EQ(ResolvedLogPath(), logPath_);
    EXPECT_EQ(CurrentLogStream(), LogStream::File);
    LogPlain("first");
    // Another process holding the file open shared appends between our records.
    FILE* other = _fsopen(logPath_.c_str(), "ab", _SH_DENYNO);
    ASSERT_NE(other, nullptr);
    std::fputs("00:00:00.000 [0001] theirs\r\n", other);
    std::fflush(other);
    LogPlain("second");
    std::fclose(other);
    CloseLog();
    EXPECT_EQ(CurrentLogStream(), LogStream::None);
    ASSERT_TRUE(OpenLog(logPath_.c_str(), 3));  // appends behind what is there
    LogPlain("third");
    ExpectRecords(WrittenRecords(), {{0, "first"}, {0, "theirs"}, {0, "second"}, {0, "third"}});
}

TEST_F(LogFile, EnsureDirectoryEndsOnPathsWithoutBackslashAndRefusesFiles)
{
    EXPECT_TRUE(EnsureDirectory(directory_.path()));
    EXPECT_FALSE(EnsureDirectory(""));
    ASSERT_TRUE(WriteFileBytes(directory_.Child("file"), "x"));
    EXPECT_FALSE(EnsureDirectory(directory_.Child("file")));

    char previous[MAX_PATH] = {};
    ::GetCurrentDirectoryA(MAX_PATH, previous);
    ASSERT_TRUE(::SetCurrentDirectoryA(directory_.path().c_str()));
    const bool created = EnsureDirectory("relative"), nested = EnsureDirectory("outer\\inner");
    ::SetCurrentDirectoryA(previous);
    EXPECT_TRUE(created && IsDirectory(directory_.Child("relative")));
    EXPECT_TRUE(nested && IsDirectory(directory_.Child("outer\\inner")));
}

TEST_F(LogFile, SecondOpenChangesNothingButStandardOutputIsSelectedInAnyCase)
{
    PolicyKeyEditor policy;
    policy.SetDword(L"DefaultLogLevel", 3);  // not consulted for standard output
    OpenFreshLog(2);
    const std::string second = directory_.Child("second.txt");
    EXPECT_FALSE(OpenLog(second.c_str(), 1));
    EXPECT_EQ(ResolvedLogPath(), logPath_);
    EXPECT_EQ(CurrentLogLevel(), 2);
    EXPECT_EQ(FileSize(second), -1);
    LogPlain("still here");
    EXPECT_EQ(WrittenRecords().size(), 1u);

    EXPECT_TRUE(OpenLog("<STDOUT>", 0));
    EXPECT_EQ(CurrentLogStream(), LogStream::StandardOutput);
    EXPECT_EQ(CurrentLogLevel(), 0);
    EXPECT_TRUE(OpenLog("<stdout>", 2));
    EXPECT_EQ(CurrentLogLevel(), 2);
    EXPECT_FALSE(OpenLog(second.c_str(), 3)) << "standard output counts as a stream";
    CloseLog();
    EXPECT_EQ(CurrentLogStream(), LogStream::StandardOutput) << "nothing to close";
}

// The fallback file is shared with every process of the prefix: the test
// reads only what this thread appended to it.
TEST_F(LogFile, FirstRecordWithoutStreamOpensTheFallbackFileWithItsNoticeFromLevelTwo)
{
    char executable[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, executable, MAX_PATH);
    const int rows[][4] = {// located, level before, DefaultLogLevel (-1: none), level after
                           {0, 2, -1, 2},
                           {1, 2, -1, 2},
                           {1, 1, -1, 1},
                           {0, 1, 3, 3}};
    PolicyKeyEditor policy;
    for (const auto& row : rows) {
        SCOPED_TRACE(&row - rows);
        const auto& [located, levelBefore, defaultLevel, levelAfter] = row;
        ResetLogStateForTests();
        policy.DeleteKey();
        if (defaultLevel >= 0) policy.SetDword(L"DefaultLogLevel", defaultLevel);
        SetCurrentLogLevel(levelBefore);
        const long long offset = std::max(FileSize(kUnknownFile), 0LL);
        {
            TraceScope scope;  // the open resets this width
            EXPECT_TRUE(located ? LogLocated(scope, "*** first record") : LogPlain("*** first record"));
            EXPECT_EQ(IndentationWidth(), 0);
        }
        EXPECT_EQ(ResolvedLogPath(), kUnknownFile);
        EXPECT_EQ(CurrentLogLevel(), levelAfter);
        CloseLog();

        std::vector<RecordLine> ours;
        for (const std::string& line : ReadLogLines(kUnknownFile, offset)) {
            if (line.find("[" + ThreadTag() + "]") != std::string::npos) ours.push_back(ParseRecordLine(line));
        }
        const std::string notice = "OpenUnknownFile(): current process: " + std::string(executable);
        if (levelAfter < 2) ExpectRecords(ours, {{0, "*** first record"}});
        if (levelAfter >= 2) ExpectRecords(ours, {{0, notice}, {0, "*** first record"}});
    }
}

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
    const int rows[][5] = {
        // key present, MainLogLevel, DefaultLogLevel (-1: no value), requested level, resulting level
        {0, -1, -1, 0, 1},                                      // nothing configured: the initial level
        {0, -1, -1, 3, 3},                                      // no key: the caller's level stands
        {1, -1, -1, 3, 1},                                      // a missing value overrides the caller
        {1, 3, 1, 0, 3},   {1, 1, 4, 0, 1},  {1, 4, -1, 0, 4},  // the per-module level wins
        {1, 0, 2, 0, 2},   {1, -1, 2, 0, 2},                    // 0 or none defers to the default
        {1, 7, -1, 0, 1},  {1, 7, 2, 0, 2},  {1, 7, -1, 3, 3}, {1, -1, 9, 0, 1},  // out of range: ignored
        {1, -1, 0, 0, 0},  // records off, the file opened all the same
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(&row - rows);
        const auto& [keyPresent, mainLevel, defaultLevel, requested, expected] = row;
        policy_.DeleteKey();
        if (keyPresent) policy_.SetString(L"Unrelated", L"x");
        if (mainLevel >= 0) policy_.SetDword(L"MainLogLevel", mainLevel);
        if (defaultLevel >= 0) policy_.SetDword(L"DefaultLogLevel", defaultLevel);
        Configure("Main", requested);
        EXPECT_EQ(CurrentLogLevel(), expected);
        EXPECT_EQ(CurrentLogStream(), LogStream::File);
    }
}

TEST_F(LogConfig, OnlyTheKnownModuleNamesReadTheirValues)
{
    const std::string configured = directory_.Child("configured.txt");
    for (const char* name : {"Main", "MAIN", "main"}) {
        policy_.DeleteKey();
        policy_.SetString(L"MainLogFile", Wide(configured));
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

TEST_F(LogConfig, LogFileValue)
{
    ConfigureModuleLog();  // no key: the module's default file
    EXPECT_EQ(ResolvedLogPath(), kLogDirectory + "Quorvex.txt");
    EXPECT_EQ(CurrentLogStream(), LogStream::File);
    EXPECT_EQ(CurrentLogLevel(), 1);

    policy_.SetString(L"MainLogFile", L"");
    Configure("Main", 0);
    EXPECT_EQ(ResolvedLogPath(), DefaultPath()) << "an empty value keeps the default path";

    // Stored as REG_EXPAND_SZ and still not expanded; the log keyword is honoured.
    const std::string unique = "QuorvexConfigTest-" + std::to_string(::GetCurrentProcessId()) + ".txt";
    policy_.SetString(L"MainLogFile", L"%TAVRIXLOGDIR\\" + Wide(unique), REG_EXPAND_SZ);
    Configure("Main", 0);
    EXPECT_EQ(ResolvedLogPath(), kLogDirectory + unique);
    CloseLog();
    ::DeleteFileA((kLogDirectory + unique).c_str());

    std::string longPath = directory_.Child("");
    longPath += std::string(300 - longPath.size() - 4, 'L') + ".txt";
    policy_.SetString(L"MainLogFile", Wide(longPath));
    Configure("Main", 0);
    EXPECT_EQ(ResolvedLogPath(), longPath) << "a 300-character value is read in full";

    // Standard output without a level of its own switches records off.
    policy_.SetString(L"MainLogFile", L"<stdout>");
    policy_.SetDword(L"DefaultLogLevel", 3);
    Configure("Main", 0);
    EXPECT_EQ(CurrentLogStream(), LogStream::StandardOutput);
    EXPECT_EQ(CurrentLogLevel(), 0);
    policy_.SetDword(L"MainLogLevel", 2);
    Configure("Main", 0);
    EXPECT_EQ(CurrentLogLevel(), 2);
}

TEST_F(LogConfig, UnopenablePathLeavesTheLevelToTheFallback)
{
    ASSERT_TRUE(WriteFileBytes(directory_.Child("blocker"), "x"));
    policy_.SetString(L"MainLogFile", Wide(directory_.Child("blocker\\log.txt")));
    policy_.SetDword(L"MainLogLevel", 3);
    Configure("Main", 0);
    EXPECT_EQ(CurrentLogStream(), LogStream::None);
    EXPECT_EQ(CurrentLogLevel(), 1) << "MainLogLevel is not applied when the file does not open";

    // The first record opens the fallback file, whose level comes from
    // DefaultLogLevel alone.
    policy_.SetDword(L"DefaultLogLevel", 2);
    QV_LOG_PLAIN(1, "*** needs a stream");
    EXPECT_EQ(ResolvedLogPath(), kUnknownFile);
    EXPECT_EQ(CurrentLogLevel(), 2);
}

TEST(PolicyValueReaders, OnlyTheirTypesAndWellFormedDataAreRead)
{
    PolicyKeyEditor policy;
    const std::wstring longText(300, L'p');
    const ULONGLONG quad = 2;
    policy.SetString(L"Plain", L"C:\\logs\\q.txt");
    policy.SetString(L"Expand", L"%TEMP%\\q.txt", REG_EXPAND_SZ);
    policy.SetString(L"Long", longText);
    policy.SetRaw(L"NoData", REG_SZ, nullptr, 0);
    // The registry adds a forgotten terminator when one follows in memory:
    // these buffers carry a further character so that none is added.
    policy.SetRaw(L"OddCount", REG_SZ, L"abcd", 5);
    policy.SetRaw(L"Unterminated", REG_SZ, L"abcd", 6);
    policy.SetString(L"Multi", L"a", REG_MULTI_SZ);
    policy.SetDword(L"Level", 2);
    policy.SetString(L"Text", L"2");
    policy.SetRaw(L"Binary", REG_BINARY, &quad, 4);
    policy.SetRaw(L"Quad", REG_QWORD, &quad, sizeof(quad));
    UniqueHkey key;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKeyPath, 0, KEY_READ, key.put()), ERROR_SUCCESS);

    const std::pair<const wchar_t*, std::wstring> strings[] = {{L"Plain", L"C:\\logs\\q.txt"},
                                                               {L"plain", L"C:\\logs\\q.txt"} /* names ignore case */,
                                                               {L"Expand", L"%TEMP%\\q.txt"},
                                                               {L"Long", longText},
                                                               {L"NoData", L""},
                                                               {L"OddCount", L"d"},
                                                               {L"Unterminated", L"d"},
                                                               {L"Multi", L"d"},
                                                               {L"Level", L"d"},
                                                               {L"Missing", L"d"}};
    for (const auto& [name, expected] : strings) EXPECT_EQ(ReadPolicyString(key.get(), name, L"d"), expected) << name;
    const std::pair<const wchar_t*, DWORD> numbers[] = {
        {L"Level", 2}, {L"Text", 99}, {L"Binary", 99}, {L"Quad", 99}, {L"Missing", 99}};
    for (const auto& [name, expected] : numbers) EXPECT_EQ(ReadPolicyDword(key.get(), name, 99), expected) << name;
}

}  // namespace
}  // namespace quorvex::test
