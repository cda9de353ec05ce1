// A plug-in object with a recording sink, readers in the simulated service and
// helpers to follow one capture from the outside.
#pragma once

#include <windows.h>
#include <gtest/gtest.h>
#include <winscard.h>

#include <cstdio>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "logging/log_file.h"
#include "logging/log_level.h"
#include "logging/log_state.h"
#include "plugin/smart_card_auth_plugin.h"
#include "scardsim/scardsim.h"
#include "support/plugin_helpers.h"
#include "support/sim_fixture.h"
#include "support/temp_directory.h"
#include "support/test_sink.h"
#include "win/com_ptr.h"
#include "win/unique_bstr.h"

namespace capture_test {

using quorvex::ComPtr;
using quorvex::test::SinkCall;
using quorvex::test::TestSink;
using Events = std::vector<std::wstring>;

// Card types registered by every test (T=0 ATRs without interface bytes, so
// they need no check byte); kAtrUnknown is not registered.
inline const std::vector<BYTE> kAtrAlpha = scardsim::AtrFromHex("3B 02 14 50");  // Alpha Card, Alpha CSP
inline const std::vector<BYTE> kAtrBeta = scardsim::AtrFromHex("3B 02 14 51");   // Beta Card, Beta CSP
inline const std::vector<BYTE> kAtrNoCsp = scardsim::AtrFromHex("3B 02 14 52");  // Bare Card, no CSP
inline const std::vector<BYTE> kAtrUnknown = scardsim::AtrFromHex("3B 02 14 53");
inline const std::vector<BYTE> kAtrGamma = scardsim::AtrFromHex("3B 02 14 60");  // Gamma One and Gamma Two
// 33 bytes, the longest an ATR can be (Long Card, Long CSP): T0 = FF brings
// TA1..TD1 and 15 historical bytes; TD1 = TD2 = F1 and TD3 = 71 bring 11 more
// interface bytes and T=1, hence the check byte.
inline const std::vector<BYTE> kAtrLong = [] {
    std::vector<BYTE> atr = scardsim::AtrFromHex(
        "3B FF 11 00 00 F1 00 00 00 F1 00 00 00 71 00 00 00 80 31 C0 73 D6 31 C0 44 41 54 41 4C 4F 4E 47");
    BYTE check = 0;
    for (size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
    atr.push_back(check);
    return atr;
}();

template <typename Condition>
bool WaitUntil(Condition condition, DWORD milliseconds = 10000)
{
    for (const ULONGLONG deadline = ::GetTickCount64() + milliseconds; !condition(); ::Sleep(2)) {
        if (::GetTickCount64() > deadline) return false;
    }
    return true;
}

// "StatusChanged 0x20CC", "Failed 211", "DataReady name|reader|csp".
inline std::wstring Describe(const SinkCall& call)
{
    wchar_t text[64] = {};
    if (call.dispid == 2) {
        std::wstring result = L"DataReady";
        for (size_t i = 0; i < call.strings.size(); ++i) result += (i == 0 ? L" " : L"|") + call.strings[i];
        return result;
    }
    swprintf(text, 64, call.dispid == 1 ? L"StatusChanged 0x%lX" : L"Failed %ld", static_cast<long>(call.value));
    return text;
}

// The lines of `log` that contain `text`.
inline std::vector<std::string> LinesWith(const std::string& log, const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(log);
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find(text) != std::string::npos) lines.push_back(line);
    }
    return lines;
}

// True when the texts appear in the log in this order (each on a later line).
inline ::testing::AssertionResult InOrder(const std::string& log, const std::vector<std::string>& texts)
{
    std::istringstream stream(log);
    size_t next = 0;
    for (std::string line; next < texts.size() && std::getline(stream, line);) {
        if (line.find(texts[next]) != std::string::npos) ++next;
    }
    if (next == texts.size()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "missing or out of order: \"" << texts[next] << "\" in log:\n" << log;
}

class CaptureTest : public SimulatedServiceTest {
protected:
    void SetUp() override
    {
        SimulatedServiceTest::SetUp();
        const struct {
            const wchar_t* card;
            const std::vector<BYTE>& atr;
            const wchar_t* csp;
        } types[] = {{L"Alpha Card", kAtrAlpha, L"Alpha CSP"},    {L"Beta Card", kAtrBeta, L"Beta CSP"},
                     {L"Bare Card", kAtrNoCsp, nullptr},          {L"Long Card", kAtrLong, L"Long CSP"},
                     {L"Gamma One", kAtrGamma, L"Gamma One CSP"}, {L"Gamma Two", kAtrGamma, L"Gamma Two CSP"}};
        for (const auto& type : types) ASSERT_TRUE(scardsim::AddCardType(type.card, type.atr, type.csp));
        plugin = quorvex::test::CreatePlugin();
        ASSERT_TRUE(plugin);
        ASSERT_EQ(S_OK, quorvex::test::AdviseEvents(plugin.get(), sink.get(), &cookie));
    }
    void TearDown() override
    {
        if (plugin) EndCapture();
        plugin.reset();
        quorvex::ResetLogStateForTests();
        SimulatedServiceTest::TearDown();
    }

    quorvex::PluginInspector object() { return quorvex::test::PluginObject(plugin.get()); }

    // Adds the readers to the service, enumerates them and selects slot 0.
    void UseReaders(std::initializer_list<const wchar_t*> names)
    {
        for (const wchar_t* name : names) ASSERT_TRUE(SimAddReader(name));
        LONG count = 0, rc = -1;
        ASSERT_EQ(S_OK, plugin->GetDeviceCount(nullptr, nullptr, &count));
        ASSERT_EQ(static_cast<LONG>(names.size()), count);
        ASSERT_EQ(S_OK, plugin->OpenDevice(nullptr, &rc));
        ASSERT_EQ(0, rc);
    }
    LONG StartCapture()
    {
        LONG rc = -99;
        const quorvex::UniqueBstr user = quorvex::MakeBstr(L"user");
        EXPECT_EQ(S_OK, plugin->StartCapture(user.get(), nullptr, nullptr, &rc));
        return rc;
    }
    LONG EndCapture()
    {
        LONG rc = -99;
        EXPECT_EQ(S_OK, plugin->EndCapture(&rc));
        return rc;
    }
    // Waits until the worker has ended by itself (its events are then all delivered).
    void WaitForWorkerEnd()
    {
        EXPECT_TRUE(WaitUntil([&] { return !object().capturing(); })) << "worker did not end";
    }
    // Returns once a wait that started after the service's last change has begun.
    void WaitForWatchToTakeIn()
    {
        const DWORD waits = SimCallCount("SCardGetStatusChangeW");
        EXPECT_TRUE(WaitUntil([&] { return SimCallCount("SCardGetStatusChangeW") > waits && SimPendingWaits() > 0; }));
    }
    // Events raised on the worker's thread, or (host) on the test's, in order.
    Events WorkerEvents(bool host = false) const
    {
        Events events;
        for (const SinkCall& call : sink->Calls()) {
            if ((call.threadId == ::GetCurrentThreadId()) == host) events.push_back(Describe(call));
        }
        return events;
    }
    Events HostEvents() const { return WorkerEvents(true); }

    // A log file at the given level for this test; Log() reads it back.
    void OpenTestLog(int level)
    {
        quorvex::ResetLogStateForTests();  // an earlier error record may have opened the fallback file
        ASSERT_TRUE(quorvex::OpenLog(logPath_.c_str(), level));
        ASSERT_EQ(level, quorvex::CurrentLogLevel());
    }
    std::string Log() const { return quorvex::test::ReadFileBytes(logPath_); }

    ComPtr<IPkiAuthenticationPlugin> plugin;
    ComPtr<TestSink> sink = TestSink::Create();
    DWORD cookie = 0;

private:
    quorvex::test::TempDirectory logDirectory_;
    std::string logPath_ = logDirectory_.Child("capture.txt");
};

}  // namespace capture_test
