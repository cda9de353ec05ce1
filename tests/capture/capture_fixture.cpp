#include "capture/capture_fixture.h"

#include <windows.h>

#include <cstdio>
#include <sstream>

#include "logging/log_file.h"
#include "logging/log_level.h"
#include "logging/log_state.h"
#include "win/unique_bstr.h"

namespace capture_test {

using namespace std::chrono_literals;

const std::vector<BYTE> kAtrAlpha = scardsim::AtrFromHex("3B 02 14 50");
const std::vector<BYTE> kAtrBeta = scardsim::AtrFromHex("3B 02 14 51");
const std::vector<BYTE> kAtrNoCsp = scardsim::AtrFromHex("3B 02 14 52");
const std::vector<BYTE> kAtrUnknown = scardsim::AtrFromHex("3B 02 14 53");

std::vector<BYTE> LongAtr()
{
    // T0 = FF: TA1..TD1 and 15 historical bytes; TD1 = TD2 = F1 and TD3 = 71
    // bring 11 more interface bytes and T=1, hence a check byte: 33 in all.
    std::vector<BYTE> atr = scardsim::AtrFromHex(
        "3B FF 11 00 00 F1 00 00 00 F1 00 00 00 71 00 00 00 "
        "80 31 C0 73 D6 31 C0 44 41 54 41 4C 4F 4E 47");
    BYTE check = 0;
    for (size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
    atr.push_back(check);
    return atr;
}

std::wstring Describe(const SinkCall& call)
{
    wchar_t text[64] = {};
    switch (call.dispid) {
    case 1:
        swprintf(text, 64, L"StatusChanged 0x%X", static_cast<unsigned>(call.value));
        return text;
    case 3:
        swprintf(text, 64, L"Failed %ld", static_cast<long>(call.value));
        return text;
    case 2: {
        std::wstring result = L"DataReady";
        for (size_t i = 0; i < call.strings.size(); ++i) result += (i == 0 ? L" " : L"|") + call.strings[i];
        return result;
    }
    default:
        swprintf(text, 64, L"dispid %ld", static_cast<long>(call.dispid));
        return text;
    }
}

void CaptureTest::SetUp()
{
    SimulatedServiceTest::SetUp();
    ASSERT_TRUE(scardsim::AddCardType(L"Alpha Card", kAtrAlpha, L"Alpha CSP"));
    ASSERT_TRUE(scardsim::AddCardType(L"Beta Card", kAtrBeta, L"Beta CSP"));
    ASSERT_TRUE(scardsim::AddCardType(L"Bare Card", kAtrNoCsp, nullptr));
    ASSERT_TRUE(scardsim::AddCardType(L"Long Card", LongAtr(), L"Long CSP"));
    plugin = quorvex::test::CreatePlugin();
    ASSERT_TRUE(plugin);
    sink = TestSink::Create();
    ASSERT_EQ(S_OK, quorvex::test::AdviseEvents(plugin.get(), sink.get(), &cookie));
}

void CaptureTest::TearDown()
{
    if (plugin) {
        EndCapture();
        plugin.reset();
    }
    if (!logPath_.empty()) quorvex::ResetLogStateForTests();
    SimulatedServiceTest::TearDown();
}

void CaptureTest::UseReaders(std::initializer_list<const wchar_t*> names)
{
    for (const wchar_t* name : names) ASSERT_TRUE(SimAddReader(name));
    LONG count = 0;
    ASSERT_EQ(S_OK, plugin->GetDeviceCount(nullptr, nullptr, &count));
    ASSERT_EQ(static_cast<LONG>(names.size()), count);
    LONG rc = -1;
    ASSERT_EQ(S_OK, plugin->OpenDevice(nullptr, &rc));
    ASSERT_EQ(0, rc);
}

LONG CaptureTest::StartCapture()
{
    LONG rc = -99;
    const quorvex::UniqueBstr user = quorvex::MakeBstr(L"user");
    EXPECT_EQ(S_OK, plugin->StartCapture(user.get(), nullptr, nullptr, &rc));
    return rc;
}

LONG CaptureTest::EndCapture()
{
    LONG rc = -99;
    EXPECT_EQ(S_OK, plugin->EndCapture(&rc));
    return rc;
}

void CaptureTest::WaitForWorkerEnd()
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (object().capturing()) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "the capture worker did not end";
            return;
        }
        ::Sleep(2);
    }
}

void CaptureTest::WaitForWatchToTakeIn()
{
    const DWORD waits = SimCallCount("SCardGetStatusChangeW");
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (SimCallCount("SCardGetStatusChangeW") <= waits || SimPendingWaits() == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "the watch did not wait again";
            return;
        }
        ::Sleep(1);
    }
}

std::vector<std::wstring> CaptureTest::WorkerEvents() const
{
    std::vector<std::wstring> events;
    for (const SinkCall& call : sink->Calls()) {
        if (call.threadId != ::GetCurrentThreadId()) events.push_back(Describe(call));
    }
    return events;
}

std::vector<std::wstring> CaptureTest::HostEvents() const
{
    std::vector<std::wstring> events;
    for (const SinkCall& call : sink->Calls()) {
        if (call.threadId == ::GetCurrentThreadId()) events.push_back(Describe(call));
    }
    return events;
}

bool CaptureTest::WaitForWorkerEvents(size_t count)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (WorkerEvents().size() < count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        ::Sleep(2);
    }
    return true;
}

void CaptureTest::OpenTestLog(int level)
{
    logPath_ = logDirectory_.Child("capture.txt");
    // An earlier error record may have opened the fallback file.
    quorvex::ResetLogStateForTests();
    ASSERT_TRUE(quorvex::OpenLog(logPath_.c_str(), level));
    ASSERT_EQ(level, quorvex::CurrentLogLevel());
}

std::string CaptureTest::Log() const { return quorvex::test::ReadFileBytes(logPath_); }

std::vector<std::string> LinesWith(const std::string& log, const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(log);
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find(text) != std::string::npos) lines.push_back(line);
    }
    return lines;
}

::testing::AssertionResult InOrder(const std::string& log, const std::vector<std::string>& texts)
{
    std::istringstream stream(log);
    size_t next = 0;
    for (std::string line; next < texts.size() && std::getline(stream, line);) {
        if (line.find(texts[next]) != std::string::npos) ++next;
    }
    if (next == texts.size()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "missing or out of order: \"" << texts[next] << "\" in log:\n" << log;
}

}  // namespace capture_test
