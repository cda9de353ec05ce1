// Cost of a level-3 located record written to a file, against a raw fprintf
// and fflush of the same line, and cost of a record below the current level.
//
// Wine starts background processes with every first program of a prefix, and
// the machine may be shared: the methods are measured in alternating rounds
// and each figure is the median round.
#include <windows.h>

#include <share.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "logging/log.h"
#include "logging/log_file.h"

namespace {

constexpr int kRounds = 15;
constexpr int kLinesPerRound = 1000;
constexpr long long kSkippedPerRound = 20000000;

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

// Nanoseconds per call of the median round.
double Median(std::vector<double> nanoseconds)
{
    std::sort(nanoseconds.begin(), nanoseconds.end());
    return nanoseconds[nanoseconds.size() / 2];
}

template <typename Body>
double TimeRound(long long calls, Body&& body)
{
    const double start = Now();
    for (long long i = 0; i < calls; ++i) body(i);
    return (Now() - start) * 1e9 / static_cast<double>(calls);
}

}  // namespace

int main()
{
    char temp[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, temp);
    const std::string directory = std::string(temp) + "qvbench-" + std::to_string(::GetCurrentProcessId());
    ::CreateDirectoryA(directory.c_str(), nullptr);
    const std::string recordFile = directory + "\\records.txt";
    const std::string rawFile = directory + "\\raw.txt";

    if (!quorvex::OpenLog(recordFile.c_str(), 3)) return 1;
    FILE* raw = _fsopen(rawFile.c_str(), "a", _SH_DENYNO);
    if (raw == nullptr) return 1;
    const int thread = static_cast<int>(::GetCurrentThreadId());
    const std::string debuggerLine(110, 'd');
    quorvex::TraceScope scope;

    auto record = [&scope](long long i) {
        QV_LOG(3, scope, "SendDataReadyEventForCurrentCard(): reader %d of %s, state 0x%X", static_cast<int>(i),
               "Sim Reader 0", 0x22);
    };
    // The same line as the record writes, with the prefix values fixed.
    auto rawLine = [raw, thread](long long i) {
        std::fprintf(raw,
                     "%02d:%02d:%02d.%03d [%04d] %*s%s:%d   SendDataReadyEventForCurrentCard(): reader %d of %s, "
                     "state 0x%X\n",
                     12, 34, 56, 789, thread, 2, "", "log_bench.cpp", 70, static_cast<int>(i), "Sim Reader 0", 0x22);
        std::fflush(raw);
    };
    auto debuggerCopy = [&debuggerLine](long long) { ::OutputDebugStringA(debuggerLine.c_str()); };
    auto skipped = [&scope](long long i) { QV_LOG(3, scope, "never written %lld", i); };

    TimeRound(kLinesPerRound, record);  // warm-up
    TimeRound(kLinesPerRound, rawLine);
    std::vector<double> recordNs, rawNs, debuggerNs, skippedNs;
    for (int round = 0; round < kRounds; ++round) {
        quorvex::SetCurrentLogLevel(3);
        recordNs.push_back(TimeRound(kLinesPerRound, record));
        rawNs.push_back(TimeRound(kLinesPerRound, rawLine));
        debuggerNs.push_back(TimeRound(kLinesPerRound, debuggerCopy));
        quorvex::SetCurrentLogLevel(1);
        skippedNs.push_back(TimeRound(kSkippedPerRound, skipped));
    }
    quorvex::CloseLog();
    std::fclose(raw);

    const double recordMedian = Median(recordNs);
    const double rawMedian = Median(rawNs);
    const double debuggerMedian = Median(debuggerNs);
    std::printf("located level-3 record to file   : %9.0f ns/record\n", recordMedian);
    std::printf("raw fprintf + fflush, same line  : %9.0f ns/line\n", rawMedian);
    std::printf("ratio record / raw               : %9.2f   (goal <= 1.5)\n", recordMedian / rawMedian);
    std::printf("OutputDebugStringA alone         : %9.0f ns/call (part of every record, no debugger attached)\n",
                debuggerMedian);
    std::printf("ratio record / (raw + debugger)  : %9.2f\n", recordMedian / (rawMedian + debuggerMedian));
    std::printf("record below the current level   : %9.2f ns/record\n", Median(skippedNs));

    ::DeleteFileA(recordFile.c_str());
    ::DeleteFileA(rawFile.c_str());
    ::RemoveDirectoryA(directory.c_str());
    return 0;
}
