// The debugger copy of every record and the debugger-only messages, observed
// as a real debugger of a child process.
#include <windows.h>

#include <string>
#include <vector>

#include "log_test_support.h"
#include "support/debugger_channel.h"

namespace quorvex::test {
namespace {

std::vector<std::string> SplitLines(const std::string& text, const std::string& lineEnd)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(lineEnd, start)) != std::string::npos; start = end + lineEnd.size()) {
        lines.push_back(text.substr(start, end - start + lineEnd.size()));
    }
    EXPECT_EQ(start, text.size()) << "text after the last line end";
    return lines;
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Every debugger text is one whole record line ending in a bare line feed.
void ExpectOneOfEach(const std::vector<std::string>& texts)
{
    ASSERT_EQ(texts.size(), 5u);
    for (const std::string& text : texts) {
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.back(), '\n');
        EXPECT_EQ(text.find('\r'), std::string::npos);
        EXPECT_LE(text.size(), 511u);
        RecordLine record;
        EXPECT_TRUE(ParseRecordLine(text.substr(0, text.size() - 1), record)) << text;
    }
    EXPECT_NE(texts[0].find("] plain 1 wide\n"), std::string::npos) << texts[0];
    EXPECT_NE(texts[1].find("] child_scenarios.cpp:"), std::string::npos) << texts[1];
    EXPECT_NE(texts[1].find("   Child::Routine(5) ---->\n"), std::string::npos) << texts[1];
    EXPECT_NE(texts[2].find("   step with 100% done\n"), std::string::npos) << texts[2];
    EXPECT_EQ(texts[3].size(), 511u);
    EXPECT_NE(texts[4].find("] <---- Child::Routine(5) return OK\n"), std::string::npos) << texts[4];
}

TEST(DebuggerOutput, EveryFileLineIsCopiedToTheDebugger)
{
    TempDirectory directory;
    const std::string log = directory.Child("child.txt");
    const DebuggedRun run = RunSelfUnderDebugger({{L"QV_LOG_CHILD", L"records"}, {L"QV_LOG_CHILD_PATH", Wide(log)}});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 0u);
    ExpectOneOfEach(run.debugStrings);

    // The file holds the same lines, with CR LF from the text mode.
    std::vector<std::string> fileLines = SplitLines(ReadFileBytes(log), "\r\n");
    ASSERT_EQ(fileLines.size(), run.debugStrings.size());
    for (size_t i = 0; i < fileLines.size(); ++i) {
        EXPECT_EQ(fileLines[i].substr(0, fileLines[i].size() - 2) + "\n", run.debugStrings[i]);
    }
}

TEST(DebuggerOutput, StandardOutputModeWritesTheSameLinesToStandardOutput)
{
    const DebuggedRun run = RunSelfUnderDebugger({{L"QV_LOG_CHILD", L"stdout"}});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 0u);
    ExpectOneOfEach(run.debugStrings);
    std::vector<std::string> outputLines = SplitLines(run.standardOutput, "\n");
    ASSERT_EQ(outputLines.size(), run.debugStrings.size());
    for (size_t i = 0; i < outputLines.size(); ++i) {
        std::string line = outputLines[i];
        if (line.size() >= 2 && line[line.size() - 2] == '\r') line.erase(line.size() - 2, 1);
        EXPECT_EQ(line, run.debugStrings[i]);
    }
}

TEST(DebuggerOutput, UnopenableFileIsReportedToTheDebuggerOnly)
{
    TempDirectory directory;
    const std::string blocker = directory.Child("blocker");
    ASSERT_TRUE(WriteFileBytes(blocker, "file"));
    const std::string log = blocker + "\\log.txt";
    const DebuggedRun run =
        RunSelfUnderDebugger({{L"QV_LOG_CHILD", L"cannot_open"}, {L"QV_LOG_CHILD_PATH", Wide(log)}});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 0u);
    ASSERT_EQ(run.debugStrings.size(), 1u);
    EXPECT_EQ(run.debugStrings[0], "Cannot open log file: '" + log + "'\n");
    EXPECT_EQ(ReadFileBytes(blocker), "file");
}

TEST(DebuggerOutput, BadKeywordIsReportedAndTheModuleCarriesOn)
{
    const DebuggedRun run =
        RunSelfUnderDebugger({{L"QV_LOG_CHILD", L"bad_keyword"}, {L"QV_LOG_CHILD_PATH", L"%LOGS\\x.txt"}});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 0u);
    ASSERT_EQ(run.debugStrings.size(), 1u);
    EXPECT_EQ(run.debugStrings[0], "Bad interval variable name in log path: '%LOGS\\x.txt'\n");
}

}  // namespace
}  // namespace quorvex::test
