// What the hostile-service tests share: the capture fixture, every SCARD
// error code of the platform headers, a fresh object per case and the CPU
// time of the thread that runs the watch.
#pragma once

#include <windows.h>
#include <winscard.h>

#include <cstdio>
#include <string>
#include <vector>

#include "capture/capture_fixture.h"
#include "support/stress_size.h"
#include "win/unique_handle.h"

namespace hostile_test {

using namespace capture_test;

struct NamedCode {
    const char* name;
    LONG value;
};

// Every SCARD_F_*, SCARD_E_*, SCARD_P_* and SCARD_W_* code of winerror.h,
// and three values no service should give: a Win32 error, a positive
// number beyond the Win32 range and -1.
inline const std::vector<NamedCode> kEveryError = {
    {"SCARD_F_INTERNAL_ERROR", SCARD_F_INTERNAL_ERROR},
    {"SCARD_E_CANCELLED", SCARD_E_CANCELLED},
    {"SCARD_E_INVALID_HANDLE", SCARD_E_INVALID_HANDLE},
    {"SCARD_E_INVALID_PARAMETER", SCARD_E_INVALID_PARAMETER},
    {"SCARD_E_INVALID_TARGET", SCARD_E_INVALID_TARGET},
    {"SCARD_E_NO_MEMORY", SCARD_E_NO_MEMORY},
    {"SCARD_F_WAITED_TOO_LONG", SCARD_F_WAITED_TOO_LONG},
    {"SCARD_E_INSUFFICIENT_BUFFER", SCARD_E_INSUFFICIENT_BUFFER},
    {"SCARD_E_UNKNOWN_READER", SCARD_E_UNKNOWN_READER},
    {"SCARD_E_TIMEOUT", SCARD_E_TIMEOUT},
    {"SCARD_E_SHARING_VIOLATION", SCARD_E_SHARING_VIOLATION},
    {"SCARD_E_NO_SMARTCARD", SCARD_E_NO_SMARTCARD},
    {"SCARD_E_UNKNOWN_CARD", SCARD_E_UNKNOWN_CARD},
    {"SCARD_E_CANT_DISPOSE", SCARD_E_CANT_DISPOSE},
    {"SCARD_E_PROTO_MISMATCH", SCARD_E_PROTO_MISMATCH},
    {"SCARD_E_NOT_READY", SCARD_E_NOT_READY},
    {"SCARD_E_INVALID_VALUE", SCARD_E_INVALID_VALUE},
    {"SCARD_E_SYSTEM_CANCELLED", SCARD_E_SYSTEM_CANCELLED},
    {"SCARD_F_COMM_ERROR", SCARD_F_COMM_ERROR},
    {"SCARD_F_UNKNOWN_ERROR", SCARD_F_UNKNOWN_ERROR},
    {"SCARD_E_INVALID_ATR", SCARD_E_INVALID_ATR},
    {"SCARD_E_NOT_TRANSACTED", SCARD_E_NOT_TRANSACTED},
    {"SCARD_E_READER_UNAVAILABLE", SCARD_E_READER_UNAVAILABLE},
    {"SCARD_P_SHUTDOWN", SCARD_P_SHUTDOWN},
    {"SCARD_E_PCI_TOO_SMALL", SCARD_E_PCI_TOO_SMALL},
    {"SCARD_E_READER_UNSUPPORTED", SCARD_E_READER_UNSUPPORTED},
    {"SCARD_E_DUPLICATE_READER", SCARD_E_DUPLICATE_READER},
    {"SCARD_E_CARD_UNSUPPORTED", SCARD_E_CARD_UNSUPPORTED},
    {"SCARD_E_NO_SERVICE", SCARD_E_NO_SERVICE},
    {"SCARD_E_SERVICE_STOPPED", SCARD_E_SERVICE_STOPPED},
    {"SCARD_E_UNEXPECTED", SCARD_E_UNEXPECTED},
    {"SCARD_E_ICC_INSTALLATION", SCARD_E_ICC_INSTALLATION},
    {"SCARD_E_ICC_CREATEORDER", SCARD_E_ICC_CREATEORDER},
    {"SCARD_E_UNSUPPORTED_FEATURE", SCARD_E_UNSUPPORTED_FEATURE},
    {"SCARD_E_DIR_NOT_FOUND", SCARD_E_DIR_NOT_FOUND},
    {"SCARD_E_FILE_NOT_FOUND", SCARD_E_FILE_NOT_FOUND},
    {"SCARD_E_NO_DIR", SCARD_E_NO_DIR},
    {"SCARD_E_NO_FILE", SCARD_E_NO_FILE},
    {"SCARD_E_NO_ACCESS", SCARD_E_NO_ACCESS},
    {"SCARD_E_WRITE_TOO_MANY", SCARD_E_WRITE_TOO_MANY},
    {"SCARD_E_BAD_SEEK", SCARD_E_BAD_SEEK},
    {"SCARD_E_INVALID_CHV", SCARD_E_INVALID_CHV},
    {"SCARD_E_UNKNOWN_RES_MNG", SCARD_E_UNKNOWN_RES_MNG},
    {"SCARD_E_NO_SUCH_CERTIFICATE", SCARD_E_NO_SUCH_CERTIFICATE},
    {"SCARD_E_CERTIFICATE_UNAVAILABLE", SCARD_E_CERTIFICATE_UNAVAILABLE},
    {"SCARD_E_NO_READERS_AVAILABLE", SCARD_E_NO_READERS_AVAILABLE},
    {"SCARD_E_COMM_DATA_LOST", SCARD_E_COMM_DATA_LOST},
    {"SCARD_E_NO_KEY_CONTAINER", SCARD_E_NO_KEY_CONTAINER},
    {"SCARD_E_SERVER_TOO_BUSY", SCARD_E_SERVER_TOO_BUSY},
    {"SCARD_E_PIN_CACHE_EXPIRED", SCARD_E_PIN_CACHE_EXPIRED},
    {"SCARD_E_NO_PIN_CACHE", SCARD_E_NO_PIN_CACHE},
    {"SCARD_E_READ_ONLY_CARD", SCARD_E_READ_ONLY_CARD},
    {"SCARD_W_UNSUPPORTED_CARD", SCARD_W_UNSUPPORTED_CARD},
    {"SCARD_W_UNRESPONSIVE_CARD", SCARD_W_UNRESPONSIVE_CARD},
    {"SCARD_W_UNPOWERED_CARD", SCARD_W_UNPOWERED_CARD},
    {"SCARD_W_RESET_CARD", SCARD_W_RESET_CARD},
    {"SCARD_W_REMOVED_CARD", SCARD_W_REMOVED_CARD},
    {"SCARD_W_SECURITY_VIOLATION", SCARD_W_SECURITY_VIOLATION},
    {"SCARD_W_WRONG_CHV", SCARD_W_WRONG_CHV},
    {"SCARD_W_CHV_BLOCKED", SCARD_W_CHV_BLOCKED},
    {"SCARD_W_EOF", SCARD_W_EOF},
    {"SCARD_W_CANCELLED_BY_USER", SCARD_W_CANCELLED_BY_USER},
    {"SCARD_W_CARD_NOT_AUTHENTICATED", SCARD_W_CARD_NOT_AUTHENTICATED},
    {"SCARD_W_CACHE_ITEM_NOT_FOUND", SCARD_W_CACHE_ITEM_NOT_FOUND},
    {"SCARD_W_CACHE_ITEM_STALE", SCARD_W_CACHE_ITEM_STALE},
    {"SCARD_W_CACHE_ITEM_TOO_BIG", SCARD_W_CACHE_ITEM_TOO_BIG},
    {"ERROR_FILE_NOT_FOUND", ERROR_FILE_NOT_FOUND},
    {"0x7FFFFFFF", 0x7FFFFFFF},
    {"-1", -1},
};

// The service objects still open: what a refused release leaves behind.
struct Leftovers {
    DWORD contexts = 0;
    DWORD handles = 0;
    DWORD buffers = 0;
    bool operator==(const Leftovers&) const = default;
};
inline Leftovers ServiceLeftovers() { return {SimOpenContexts(), SimOpenCardHandles(), SimUnfreedBuffers()}; }
inline void PrintTo(const Leftovers& l, std::ostream* os)
{
    *os << "{contexts " << l.contexts << ", handles " << l.handles << ", buffers " << l.buffers << "}";
}

// CPU time (user + kernel) that a thread of this process has used, in ms.
inline double ThreadCpuMs(DWORD threadId)
{
    const quorvex::UniqueHandle thread(::OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, threadId));
    FILETIME created, exited, kernel, user;
    if (!thread || !::GetThreadTimes(thread.get(), &created, &exited, &kernel, &user)) return -1;
    const auto ticks = [](FILETIME t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 10000.0;
}

class HostileTest : public CaptureTest {
protected:
    // Checks the accounting of the case just run (leaks) and starts the next
    // one on a clean service with a new object and the same sink.
    void Renew()
    {
        CaptureTest::TearDown();
        sink->ClearCalls();
        sink->SetHandler({});
        sink->FailWith(S_OK);
        CaptureTest::SetUp();
    }
    // Leaves the service objects that the service refused to release out of
    // the next leak check, once the case has counted them.
    static void ForgetRefused() { SimReset(); }

    // Worker events, waiting until the worker has ended by itself.
    Events EndedWorkerEvents()
    {
        WaitForWorkerEnd();
        return WorkerEvents();
    }
};

// Figures to quote: how many cases a suite ran, and the seed of a random one.
inline void ReportCases(const char* suite, size_t cases, const char* seed = nullptr)
{
    std::printf("[ figures  ] %s: %zu cases at %s size%s%s\n", suite, cases,
                quorvex::test::LargeStressRun() ? "large" : "small", seed ? ", seed " : "", seed ? seed : "");
    ::testing::Test::RecordProperty("cases", static_cast<int>(cases));
}

}  // namespace hostile_test
