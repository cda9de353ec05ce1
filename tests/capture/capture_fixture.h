// A plug-in object with a recording sink, readers in the simulated service and
// helpers to follow one capture from the outside.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <string>
#include <vector>

#include "plugin/smart_card_auth_plugin.h"
#include "scardsim/scardsim.h"
#include "support/plugin_helpers.h"
#include "support/sim_fixture.h"
#include "support/temp_directory.h"
#include "support/test_sink.h"
#include "win/com_ptr.h"

namespace capture_test {

using quorvex::ComPtr;
using quorvex::test::SinkCall;
using quorvex::test::TestSink;

// Card ATRs registered in the service by every test (T=0 ATRs without
// interface bytes, so they need no check byte).
extern const std::vector<BYTE> kAtrAlpha;    // "Alpha Card", CSP "Alpha CSP"
extern const std::vector<BYTE> kAtrBeta;     // "Beta Card", CSP "Beta CSP"
extern const std::vector<BYTE> kAtrNoCsp;    // "Bare Card", no CSP
extern const std::vector<BYTE> kAtrUnknown;  // not registered
// A 33-byte ATR ("Long Card", CSP "Long CSP"): the longest an ATR can be.
std::vector<BYTE> LongAtr();

// "StatusChanged 0x20CC", "Failed 211", "DataReady name|reader|csp".
std::wstring Describe(const SinkCall& call);

class CaptureTest : public SimulatedServiceTest {
protected:
    void SetUp() override;
    void TearDown() override;

    quorvex::CSmartCardAuthPlugin& object() { return *static_cast<quorvex::CSmartCardAuthPlugin*>(plugin.get()); }

    // Adds the readers to the service, enumerates them and selects slot 0.
    void UseReaders(std::initializer_list<const wchar_t*> names);
    LONG StartCapture();
    LONG EndCapture();

    // Waits until the worker has ended by itself (its events are then all
    // delivered); fails the test after 10 s.
    void WaitForWorkerEnd();
    // Returns once the watch has looked at the service's current state: a
    // wait that started after the last change has begun.
    void WaitForWatchToTakeIn();
    // Events raised on a thread other than the test's (the worker's), in order.
    std::vector<std::wstring> WorkerEvents() const;
    // Events raised on the test's thread (by StartCapture), in order.
    std::vector<std::wstring> HostEvents() const;
    bool WaitForWorkerEvents(size_t count);

    // Log file at the given level for this test; Log() reads it back.
    void OpenTestLog(int level);
    std::string Log() const;

    ComPtr<IPkiAuthenticationPlugin> plugin;
    ComPtr<TestSink> sink;
    DWORD cookie = 0;

private:
    quorvex::test::TempDirectory logDirectory_;
    std::string logPath_;
};

// The lines of `log` that contain `text`.
std::vector<std::string> LinesWith(const std::string& log, const std::string& text);
// True when the texts appear in the log in this order (each on a later line).
::testing::AssertionResult InOrder(const std::string& log, const std::vector<std::string>& texts);

}  // namespace capture_test
