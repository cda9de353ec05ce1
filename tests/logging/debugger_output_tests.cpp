// The debugger copy of every record and the debugger-only messages, observed
// as a real debugger of a child process: the test program re-launches itself
// with QV_LOG_CHILD naming a scenario, which runs during static
// initialisation, before any test, and ends the process.
#include <algorithm>
#include <cstdlib>

#include "log_test_support.h"
#include "support/debugger_channel.h"

namespace quorvex::test {
namespace {

std::string EnvironmentText(const char* name)
{
    char value[1024] = {};
    const DWORD length = ::GetEnvironmentVariableA(name, value, sizeof(value));
    return length < sizeof(value) ? std::string(value, length) : std::string();
}

// A record of each kind, and a text that does not fit.
void WriteOneOfEach()
{
    LogPlain("plain %d %S", 1, L"wide");
    TraceScope scope;
    QV_TRACE_ENTER(scope, "Child::Routine(%d)", 5);
    QV_LOG(3, scope, "step with 100%% %s", "done");
    QV_LOG_PLAIN(3, "%s", std::string(600, 'z').c_str());
    QV_TRACE_RETURN(scope, "return OK");
}

int RunScenario(const std::string& scenario)
{
    if (scenario == "records") {  // the file first, then standard output
        if (!OpenLog(EnvironmentText("QV_LOG_CHILD_PATH").c_str(), 3)) return 2;
        WriteOneOfEach();
        CloseLog();
        if (!OpenLog("<STDOUT>", 3)) return 2;
        WriteOneOfEach();
        return 0;
    }
    if (scenario == "failures") {  // neither changes the stream or the level
        SetCurrentLogLevel(2);
        if (OpenLog(EnvironmentText("QV_LOG_CHILD_PATH").c_str(), 3)) return 2;
        ConfigureLogModule("%LOGS\\x.txt", "Other", 3);
        return CurrentLogStream() == LogStream::None && CurrentLogLevel() == 2 ? 0 : 2;
    }
    return 3;
}

const int g_childScenario = [] {
    const std::string scenario = EnvironmentText("QV_LOG_CHILD");
    if (scenario.empty()) return 0;
    std::exit(RunScenario(scenario));  // flushes standard output for the parent to read
}();

TEST(DebuggerOutput, EveryFileAndStandardOutputLineIsCopiedToTheDebugger)
{
    TempDirectory directory;
    const std::string log = directory.Child("child.txt");
    const DebuggedRun run = RunSelfUnderDebugger(
        {{L"QV_LOG_CHILD", L"records"}, {L"QV_LOG_CHILD_PATH", {log.begin(), log.end()}}});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 0u);

    // The file's CR LF comes from the text mode; standard output may add a CR too.
    std::vector<std::string> lines = ReadLogLines(log);
    for (std::string line : SplitLines(run.standardOutput, "\n")) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 10u);
    ASSERT_EQ(run.debugStrings.size(), 10u);
    const std::string endings[] = {"] plain 1 wide", "   Child::Routine(5) ---->", "   step with 100% done", "zzz",
                                   "] <---- Child::Routine(5) return OK"};
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(run.debugStrings[i], lines[i] + "\n") << "the debugger gets the bare line feed";
        ParseRecordLine(lines[i]);  // a whole record line
        const std::string& ending = endings[i % 5];
        EXPECT_EQ(lines[i].substr(std::max(lines[i].size(), ending.size()) - ending.size()), ending);
    }
    EXPECT_NE(lines[1].find("] debugger_output_tests.cpp:"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[3].size(), 510u);
    EXPECT_EQ(lines[8].size(), 510u);
}

TEST(DebuggerOutput, OpenFailuresAreReportedToTheDebuggerOnly)
{
    TempDirectory directory;
    const std::string blocker = directory.Child("blocker");
    ASSERT_TRUE(WriteFileBytes(blocker, "file"));
    const std::string log = blocker + "\\log.txt";
    const DebuggedRun run = RunSelfUnderDebugger(
        {{L"QV_LOG_CHILD", L"failures"}, {L"QV_LOG_CHILD_PATH", {log.begin(), log.end()}}});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 0u);
    const std::vector<std::string> expected = {"Cannot open log file: '" + log + "'\n",
                                               "Bad interval variable name in log path: '%LOGS\\x.txt'\n"};
    EXPECT_EQ(run.debugStrings, expected);
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_EQ(ReadFileBytes(blocker), "file");
}

}  // namespace
}  // namespace quorvex::test
