#include "logging/log_state.h"

#include <memory>

#include "logging/log_level.h"
#include "win/unique_file.h"

namespace quorvex {

// Everything here is constant-initialised: module scopes and the module's log
// configuration run during static initialisation, in no guaranteed order.
constinit std::atomic<int> g_indentationWidth{0};

namespace {

constinit SRWLOCK g_lock = SRWLOCK_INIT;
constinit bool g_standardOutput = false;
constinit UniqueFile g_file;

// Made on first use rather than constant-initialised: clang 14 cannot
// evaluate libstdc++'s constexpr string constructor.
std::string& ResolvedPathStorage() noexcept
{
    static std::string path;
    return path;
}

}  // namespace

LogLockGuard::LogLockGuard() noexcept { ::AcquireSRWLockExclusive(&g_lock); }
LogLockGuard::~LogLockGuard() { ::ReleaseSRWLockExclusive(&g_lock); }

LogStream CurrentLogStreamLocked() noexcept
{
    if (g_standardOutput) return LogStream::StandardOutput;
    return g_file ? LogStream::File : LogStream::None;
}

void SetStandardOutputStreamLocked() noexcept
{
    // A file opened earlier would otherwise stay open with nothing to close it.
    CloseLogFileLocked();
    g_standardOutput = true;
}

void SetFileStreamLocked(FILE* file) noexcept
{
    g_standardOutput = false;
    g_file.reset(file);
}

void CloseLogFileLocked() noexcept { g_file.reset(); }

std::string& ResolvedLogPathLocked() noexcept { return ResolvedPathStorage(); }

void WriteLineLocked(const char* line) noexcept
{
    if (g_standardOutput) {
        std::fputs(line, stdout);
    } else if (FILE* file = g_file.get()) {
        // Other processes may append to the same file between our records.
        std::fseek(file, 0, SEEK_END);
        std::fputs(line, file);
        std::fflush(file);
    }
}

LogStream CurrentLogStream() noexcept
{
    LogLockGuard lock;
    return CurrentLogStreamLocked();
}

std::string ResolvedLogPath()
{
    LogLockGuard lock;
    return ResolvedPathStorage();
}

void ResetLogStateForTests() noexcept
{
    LogLockGuard lock;
    CloseLogFileLocked();
    g_standardOutput = false;
    ResolvedPathStorage().clear();
    g_indentationWidth.store(0);
    SetCurrentLogLevel(1);
}

}  // namespace quorvex
