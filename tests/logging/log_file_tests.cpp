// From a log path to an open log stream: keyword expansion, directory
// creation, appending, standard-output mode and the fallback file.
#include <windows.h>

#include <share.h>

#include <cstdio>
#include <string>

#include "log_test_support.h"
#include "logging/log.h"
#include "logging/log_config.h"
#include "support/policy_key_editor.h"

namespace quorvex::test {
namespace {

constexpr const char* kLogDirectory = "C:\\ProgramData\\Tavrix\\Vestrel";
const std::string kUnknownFile = std::string(kLogDirectory) + "\\Unknown.txt";

TEST(ExpandLogPath, KeywordRules)
{
    struct Case {
        const char* path;
        const char* expected;  // nullptr: the expansion fails
    };
    const Case cases[] = {
        {"%TAVRIXLOGDIR\\Unknown.txt", "C:\\ProgramData\\Tavrix\\Vestrel\\Unknown.txt"},
        {"%TAVRIXLOGDIR\\Quorvex.txt", "C:\\ProgramData\\Tavrix\\Vestrel\\Quorvex.txt"},
        {"%TAVRIXLOGDIR", "C:\\ProgramData\\Tavrix\\Vestrel"},
        {"%TAVRIXLOGDIR%\\x.txt", "C:\\ProgramData\\Tavrix\\Vestrel%\\x.txt"},
        {"%TAVRIXLOGDIR.txt", "C:\\ProgramData\\Tavrix\\Vestrel.txt"},
        {"%tavrixlogdir\\x.txt", nullptr},
        {"%TavrixLogDir\\x.txt", nullptr},
        {"%TAVRIXLOGDIRS\\x.txt", nullptr},
        {"%TAVRIXLOGDIR2\\x.txt", nullptr},
        {"%TAVRIXLOGDIR_\\x.txt", nullptr},
        {"%WINDIR\\x.txt", nullptr},
        {"%\\x.txt", nullptr},
        {"D:\\logs\\%TAVRIXLOGDIR.txt", "D:\\logs\\%TAVRIXLOGDIR.txt"},
        {"relative.txt", "relative.txt"},
    };
    for (const Case& c : cases) {
        const auto expanded = ExpandLogPath(c.path);
        if (c.expected == nullptr) {
            EXPECT_FALSE(expanded.has_value()) << c.path << " -> " << expanded.value_or("");
        } else {
            ASSERT_TRUE(expanded.has_value()) << c.path;
            EXPECT_EQ(*expanded, c.expected) << c.path;
        }
    }
    EXPECT_STREQ(ExpandLogPathError, "Bad interval variable name in log path");
}

using LogFile = LogTest;

TEST_F(LogFile, MissingDirectoryChainIsCreatedAndTheFileAppendedInTextMode)
{
    const std::string chain = directory_.Child("one\\two\\three");
    logPath_ = chain + "\\deep.txt";
    ASSERT_FALSE(PathExists(directory_.Child("one")));
    ASSERT_TRUE(OpenLog(logPath_.c_str(), 3));
    EXPECT_TRUE(IsDirectory(directory_.Child("one")));
    EXPECT_TRUE(IsDirectory(directory_.Child("one\\two")));
    EXPECT_TRUE(IsDirectory(chain));
    EXPECT_EQ(ResolvedLogPath(), logPath_);
    EXPECT_EQ(CurrentLogStream(), LogStream::File);
    LogPlain("first");
    CloseLog();
    EXPECT_EQ(CurrentLogStream(), LogStream::None);

    // A later open appends behind what is there, whoever wrote it.
    ASSERT_TRUE(WriteFileBytes(logPath_, ReadFileBytes(logPath_) + "written by someone else\r\n"));
    ASSERT_TRUE(OpenLog(logPath_.c_str(), 3));
    LogPlain("second");
    CloseLog();
    const auto lines = ReadLogLines(logPath_);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("] first"), std::string::npos);
    EXPECT_EQ(lines[1], "written by someone else");
    EXPECT_NE(lines[2].find("] second"), std::string::npos);
}

TEST_F(LogFile, RecordsReachTheEndOfAFileThatOthersAppendTo)
{
    OpenFreshLog(3);
    LogPlain("ours 1");
    // Another process holding the file open shared appends between our records.
    FILE* other = _fsopen(logPath_.c_str(), "ab", _SH_DENYNO);
    ASSERT_NE(other, nullptr);
    std::fputs("theirs\r\n", other);
    std::fflush(other);
    LogPlain("ours 2");
    std::fclose(other);
    CloseLog();
    const auto lines = ReadLogLines(logPath_);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "theirs");
    EXPECT_NE(lines[2].find("] ours 2"), std::string::npos);
}

TEST_F(LogFile, DirectoryPartThatIsAFileMakesTheOpenFailWithoutChanges)
{
    const std::string blocker = directory_.Child("blocker");
    ASSERT_TRUE(WriteFileBytes(blocker, "not a directory"));
    SetCurrentLogLevel(2);
    EXPECT_FALSE(EnsureDirectory(blocker));
    EXPECT_FALSE(OpenLog((blocker + "\\sub\\log.txt").c_str(), 3));
    EXPECT_EQ(CurrentLogStream(), LogStream::None);
    EXPECT_EQ(CurrentLogLevel(), 2) << "a failed open leaves the level alone";
    EXPECT_EQ(ReadFileBytes(blocker), "not a directory");
}

TEST_F(LogFile, EnsureDirectoryEndsOnPathsWithoutBackslash)
{
    EXPECT_TRUE(EnsureDirectory(directory_.path()));
    EXPECT_FALSE(EnsureDirectory(""));

    char previous[MAX_PATH] = {};
    ::GetCurrentDirectoryA(MAX_PATH, previous);
    ASSERT_TRUE(::SetCurrentDirectoryA(directory_.path().c_str()));
    const bool created = EnsureDirectory("relative");
    const bool nested = EnsureDirectory("outer\\inner");
    ::SetCurrentDirectoryA(previous);
    EXPECT_TRUE(created);
    EXPECT_TRUE(nested);
    EXPECT_TRUE(IsDirectory(directory_.Child("relative")));
    EXPECT_TRUE(IsDirectory(directory_.Child("outer\\inner")));
}

TEST_F(LogFile, SecondOpenWhileAStreamIsSetChangesNothing)
{
    const std::string first = OpenFreshLog(3, "first.txt");
    const std::string second = directory_.Child("second.txt");
    EXPECT_FALSE(OpenLog(second.c_str(), 1));
    EXPECT_EQ(ResolvedLogPath(), first);
    EXPECT_EQ(CurrentLogLevel(), 3);
    EXPECT_FALSE(PathExists(second));
    LogPlain("still here");
    EXPECT_EQ(WrittenRecords().size(), 1u);
}

TEST_F(LogFile, OpenFailsOnABadKeywordAndLeavesTheStreamNone)
{
    SetCurrentLogLevel(2);
    EXPECT_FALSE(OpenLog("%LOGDIR\\x.txt", 3));
    EXPECT_EQ(CurrentLogStream(), LogStream::None);
    EXPECT_EQ(CurrentLogLevel(), 2);
    EXPECT_EQ(ResolvedLogPath(), "");
}

TEST_F(LogFile, StandardOutputIsSelectedInAnyCaseWithTheRequestedLevel)
{
    PolicyKeyEditor policy;
    policy.SetDword(L"DefaultLogLevel", 3);  // not consulted for standard output
    EXPECT_TRUE(OpenLog("<STDOUT>", 0));
    EXPECT_EQ(CurrentLogStream(), LogStream::StandardOutput);
    EXPECT_EQ(CurrentLogLevel(), 0);
    EXPECT_TRUE(OpenLog("<stdout>", 2));
    EXPECT_EQ(CurrentLogLevel(), 2);
    EXPECT_FALSE(OpenLog(directory_.Child("x.txt").c_str(), 3)) << "standard output counts as a stream";
    CloseLog();
    EXPECT_EQ(CurrentLogStream(), LogStream::StandardOutput) << "nothing to close";
}

// The fallback file is shared with every process of the prefix: the tests
// read only what was appended during the test, by this thread.
class FallbackFile : public LogTest {
protected:
    void SetUp() override
    {
        LogTest::SetUp();
        offset_ = FileSize(kUnknownFile) < 0 ? 0 : FileSize(kUnknownFile);
    }
    std::vector<std::string> OurNewLines()
    {
        CloseLog();
        std::vector<std::string> ours;
        for (const std::string& line : ReadLogLines(kUnknownFile, offset_)) {
            if (line.find("[" + ThreadTag() + "]") != std::string::npos) ours.push_back(line);
        }
        return ours;
    }
    PolicyKeyEditor policy_;
    long long offset_ = 0;
};

std::string ExecutablePath()
{
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

TEST_F(FallbackFile, FirstRecordWithoutStreamOpensItAndNoticesBeforeTheRecordAtLevelTwo)
{
    SetCurrentLogLevel(2);
    TraceScope scope;  // the open resets this width
    QV_LOG_PLAIN(1, "*** first record");
    EXPECT_EQ(CurrentLogStream(), LogStream::File);
    EXPECT_EQ(ResolvedLogPath(), kUnknownFile);
    EXPECT_EQ(IndentationWidth(), 0);
    const auto lines = OurNewLines();
    ASSERT_EQ(lines.size(), 2u);
    RecordLine notice;
    ASSERT_TRUE(ParseRecordLine(lines[0], notice));
    EXPECT_EQ(notice.text, "OpenUnknownFile(): current process: " + ExecutablePath());
    EXPECT_EQ(notice.indentation, 0);
    EXPECT_NE(lines[1].find("] *** first record"), std::string::npos);
}

TEST_F(FallbackFile, NoNoticeBelowLevelTwo)
{
    TraceScope scope;
    QV_LOG(1, scope, "*** located first");
    const auto lines = OurNewLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("*** located first"), std::string::npos);
    EXPECT_EQ(CurrentLogLevel(), 1);
}

TEST_F(FallbackFile, LevelComesFromDefaultLogLevel)
{
    policy_.SetDword(L"DefaultLogLevel", 3);
    QV_LOG_PLAIN(1, "*** opens the fallback");
    EXPECT_EQ(CurrentLogLevel(), 3);
    const auto lines = OurNewLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("OpenUnknownFile(): current process: "), std::string::npos);
}

}  // namespace
}  // namespace quorvex::test
