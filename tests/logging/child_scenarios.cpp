// Child programs for the debugger-channel tests. The test program re-launches
// itself under a debugger with QV_LOG_CHILD naming a scenario; the scenario
// runs during static initialisation, before any test, and ends the process.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "logging/log.h"
#include "logging/log_config.h"
#include "logging/log_file.h"
#include "logging/log_state.h"

namespace quorvex::test {
namespace {

std::string EnvironmentText(const char* name)
{
    char value[1024] = {};
    const DWORD length = ::GetEnvironmentVariableA(name, value, sizeof(value));
    return length != 0 && length < sizeof(value) ? std::string(value) : std::string();
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
    const std::string logPath = EnvironmentText("QV_LOG_CHILD_PATH");
    if (scenario == "records") {
        if (!OpenLog(logPath.c_str(), 3)) return 2;
        WriteOneOfEach();
        CloseLog();
        return 0;
    }
    if (scenario == "stdout") {
        if (!OpenLog("<STDOUT>", 3)) return 2;
        WriteOneOfEach();
        return 0;
    }
    if (scenario == "cannot_open") {
        return OpenLog(logPath.c_str(), 3) ? 2 : 0;
    }
    if (scenario == "bad_keyword") {
        ConfigureLogModule(logPath.c_str(), "Other", 3);
        return CurrentLogStream() == LogStream::None ? 0 : 2;
    }
    return 3;
}

const int g_childScenario = [] {
    const std::string scenario = EnvironmentText("QV_LOG_CHILD");
    if (scenario.empty()) return 0;
    const int exitCode = RunScenario(scenario);
    std::exit(exitCode);  // flushes standard output for the parent to read
}();

}  // namespace
}  // namespace quorvex::test
