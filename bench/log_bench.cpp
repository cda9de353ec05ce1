// Cost of a level-3 located record written to a file, against a raw fprintf
// and fflush of the same line, and cost of a record below the current level.
#include <windows.h>

#include <share.h>

#include <cstdio>
#include <string>

#include "logging/log.h"
#include "logging/log_file.h"
#include "logging/log_state.h"

namespace {

double Now()
{
    static const double ticksPerSecond = [] {
        LARGE_INTEGER frequency{};
        ::QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart);
    }();
    LARGE_INTEGER counter{};
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / ticksPerSecond;
}

double NanosecondsPerCall(double seconds, long long calls) { return seconds * 1e9 / static_cast<double>(calls); }

}  // namespace

int main()
{
    constexpr int kRecords = 20000;
    constexpr long long kSkipped = 200000000;

    char temp[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, temp);
    const std::string directory = std::string(temp) + "qvbench-" + std::to_string(::GetCurrentProcessId());
    ::CreateDirectoryA(directory.c_str(), nullptr);
    const std::string recordFile = directory + "\\records.txt";
    const std::string rawFile = directory + "\\raw.txt";

    quorvex::OpenLog(recordFile.c_str(), 3);
    quorvex::TraceScope scope;
    for (int i = 0; i < 200; ++i) QV_LOG(3, scope, "warm-up %d", i);
    double start = Now();
    for (int i = 0; i < kRecords; ++i) {
        QV_LOG(3, scope, "SendDataReadyEventForCurrentCard(): reader %d of %s, state 0x%X", i, "Sim Reader 0", 0x22);
    }
    const double recordSeconds = Now() - start;
    quorvex::CloseLog();

    // The same line as the record writes, with the prefix values fixed.
    FILE* raw = _fsopen(rawFile.c_str(), "a", _SH_DENYNO);
    if (raw == nullptr) return 1;
    const int thread = static_cast<int>(::GetCurrentThreadId());
    start = Now();
    for (int i = 0; i < kRecords; ++i) {
        std::fprintf(raw, "%02d:%02d:%02d.%03d [%04d] %*s%s:%d   SendDataReadyEventForCurrentCard(): reader %d of %s, state 0x%X\n",
                     12, 34, 56, 789, thread, 2, "", "log_bench.cpp", 60, i, "Sim Reader 0", 0x22);
        std::fflush(raw);
    }
    const double rawSeconds = Now() - start;
    std::fclose(raw);

    // What the debugger copy alone costs on this system.
    const std::string line(110, 'd');
    start = Now();
    for (int i = 0; i < kRecords; ++i) ::OutputDebugStringA(line.c_str());
    const double debuggerSeconds = Now() - start;

    quorvex::SetCurrentLogLevel(1);
    start = Now();
    for (long long i = 0; i < kSkipped; ++i) QV_LOG(3, scope, "never written %lld", i);
    const double skippedSeconds = Now() - start;

    const double recordNs = NanosecondsPerCall(recordSeconds, kRecords);
    const double rawNs = NanosecondsPerCall(rawSeconds, kRecords);
    std::printf("located level-3 record to file : %10.0f ns/record\n", recordNs);
    std::printf("raw fprintf + fflush same line : %10.0f ns/line\n", rawNs);
    std::printf("ratio record / raw             : %10.2f (goal <= 1.5)\n", recordNs / rawNs);
    std::printf("  of which OutputDebugStringA  : %10.0f ns/call (no debugger attached)\n",
                NanosecondsPerCall(debuggerSeconds, kRecords));
    std::printf("record below the current level : %10.2f ns/record\n", NanosecondsPerCall(skippedSeconds, kSkipped));

    ::DeleteFileA(recordFile.c_str());
    ::DeleteFileA(rawFile.c_str());
    ::RemoveDirectoryA(directory.c_str());
    return 0;
}
