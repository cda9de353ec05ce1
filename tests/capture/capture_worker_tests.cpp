// StartCapture, EndCapture, destruction while capturing, and the stop of a
// worker that does not end in time.
#include <windows.h>
#include <winscard.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>

#include "capture/capture_fixture.h"
#include "support/debugger_channel.h"
#include "win/unique_handle.h"

namespace capture_test {
namespace {

using Events = std::vector<std::wstring>;

class CaptureWorkerTest : public CaptureTest {};

TEST_F(CaptureWorkerTest, NullReturnCodeIsRefusedWithoutSideEffects)
{
    UseReaders({L"Reader Zero"});
    EXPECT_EQ(E_POINTER, plugin->StartCapture(nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(object().capturing());
    ASSERT_EQ(0, StartCapture());
    EXPECT_EQ(E_POINTER, plugin->EndCapture(nullptr));
    EXPECT_TRUE(object().capturing());
    EXPECT_EQ(Events({L"StatusChanged 0x20CC"}), HostEvents());
}

TEST_F(CaptureWorkerTest, SecondStartIsRefusedAndTheFirstWorkerGoesOn)
{
    UseReaders({L"Reader Zero"});
    ASSERT_EQ(0, StartCapture());
    EXPECT_EQ(-1, StartCapture());
    EXPECT_EQ(Events({L"StatusChanged 0x20CC", L"StatusChanged 0x40D9"}), HostEvents());

    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
    WaitForWorkerEnd();
    EXPECT_EQ(Events({L"DataReady Alpha Card|Reader Zero|Alpha CSP"}), WorkerEvents());
    // One context for the enumeration, one for the only watch.
    EXPECT_EQ(2u, SimCallCount("SCardEstablishContext"));
}

TEST_F(CaptureWorkerTest, NoReaderSelectedFailsWith211ThenANewCaptureStarts)
{
    OpenTestLog(1);
    ASSERT_TRUE(SimAddReader(L"Reader Zero"));
    ASSERT_EQ(-1, object().selectedIndex());
    ASSERT_EQ(0, StartCapture());
    WaitForWorkerEnd();
    EXPECT_EQ(Events({L"StatusChanged 0x20CC"}), HostEvents());
    EXPECT_EQ(Events({L"Failed 211"}), WorkerEvents());
    EXPECT_EQ(0u, SimCallCount("SCardEstablishContext"));
    const auto records = LinesWith(Log(), "*** ");
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("*** SendDataReadyEventForCurrentCard(): reader not selected",
              records[0].substr(records[0].find("*** ")));

    LONG rc = -1;
    ASSERT_EQ(S_OK, plugin->OpenDevice(nullptr, &rc));
    ASSERT_EQ(0, StartCapture());
    EXPECT_EQ(Events({L"StatusChanged 0x20CC", L"StatusChanged 0x20CC"}), HostEvents());
    EXPECT_TRUE(object().capturing());
}

TEST_F(CaptureWorkerTest, AfterDataReadyANewCaptureStartsWithoutEndCapture)
{
    UseReaders({L"Reader Zero"});
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
    ASSERT_EQ(0, StartCapture());
    WaitForWorkerEnd();
    ASSERT_EQ(0, StartCapture());
    WaitForWorkerEnd();
    EXPECT_EQ(Events({L"StatusChanged 0x20CC", L"StatusChanged 0x20CC"}), HostEvents());
    EXPECT_EQ(Events({L"DataReady Alpha Card|Reader Zero|Alpha CSP", L"DataReady Alpha Card|Reader Zero|Alpha CSP"}),
              WorkerEvents());
}

TEST_F(CaptureWorkerTest, EndCaptureDuringTheWaitStopsTheWatchQuietly)
{
    UseReaders({L"Reader Zero"});
    ASSERT_EQ(0, StartCapture());
    ASSERT_TRUE(SimWaitForPendingWaits(1, 5000));
    EXPECT_EQ(0, EndCapture());

    EXPECT_FALSE(object().capturing());
    // The worker has ended: everything it held is back.
    EXPECT_EQ(0u, SimOpenContexts());
    EXPECT_EQ(0u, SimCallCount("SCardCancel"));
    EXPECT_TRUE(WorkerEvents().empty());
    EXPECT_EQ(Events({L"StatusChanged 0x20CC"}), HostEvents());

    // A card now is nobody's business.
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
    ::Sleep(150);
    EXPECT_TRUE(WorkerEvents().empty());
    EXPECT_EQ(0u, SimCallCount("SCardConnectW"));
}

TEST_F(CaptureWorkerTest, EndCaptureTwiceAndWithoutWorker)
{
    EXPECT_EQ(0, EndCapture());
    UseReaders({L"Reader Zero"});
    ASSERT_EQ(0, StartCapture());
    EXPECT_EQ(0, EndCapture());
    EXPECT_EQ(0, EndCapture());
    EXPECT_FALSE(object().capturing());
    EXPECT_EQ(Events({L"StatusChanged 0x20CC"}), HostEvents());
    EXPECT_TRUE(WorkerEvents().empty());
}

TEST_F(CaptureWorkerTest, EndCaptureBeforeTheWatchHasItsContextIsHarmless)
{
    UseReaders({L"Reader Zero"});
    SimSetDelay("SCardEstablishContext", 50);
    ASSERT_EQ(0, StartCapture());
    EXPECT_EQ(0, EndCapture());
    EXPECT_FALSE(object().capturing());
    EXPECT_EQ(0u, SimOpenContexts());
    EXPECT_TRUE(WorkerEvents().empty());
}

TEST_F(CaptureWorkerTest, ReleasingTheLastReferenceWhileCapturingStopsTheWorker)
{
    UseReaders({L"Reader Zero"});
    ASSERT_EQ(0, StartCapture());
    ASSERT_TRUE(SimWaitForPendingWaits(1, 5000));
    plugin.reset();

    EXPECT_EQ(0u, SimOpenContexts());
    EXPECT_EQ(0u, SimPendingWaits());
    EXPECT_EQ(1u, sink->RefCount());
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
    ::Sleep(150);
    EXPECT_EQ(0u, SimCallCount("SCardConnectW"));
    EXPECT_EQ(1u, sink->CallCount());  // StatusChanged 0x20CC only
}

// ---------------------------------------------------------------------------
// A worker that does not end within the stop's 15 s. The scenario runs in a
// child copy of this program under a debugger, which receives the worker
// texts; the child reports its own checks on standard output.

constexpr wchar_t kChildVariable[] = L"QUORVEX_CAPTURE_CHILD";
constexpr char kGraceful[] = "SUCCESS: worker thread was terminated gracefully\n";
constexpr char kNotGraceful[] = "FAILURE FAILURE FAILURE: Failed to terminate worker thread gracefully\n";

int g_childFailures = 0;

void ChildCheck(bool condition, const char* what)
{
    if (condition) return;
    ++g_childFailures;
    std::printf("CHILD CHECK FAILED: %s\n", what);
    std::fflush(stdout);
}

template <typename Condition>
bool WaitUntil(Condition condition, DWORD milliseconds)
{
    const ULONGLONG deadline = ::GetTickCount64() + milliseconds;
    while (!condition()) {
        if (::GetTickCount64() > deadline) return false;
        ::Sleep(2);
    }
    return true;
}

size_t CountEvents(const TestSink& sink, DISPID dispid, LONG value = 0)
{
    const std::vector<SinkCall> calls = sink.Calls();
    return static_cast<size_t>(std::count_if(calls.begin(), calls.end(), [&](const SinkCall& call) {
        return call.dispid == dispid && (dispid == 2 || call.value == value);
    }));
}

void RunStopScenario()
{
    // This runs during static initialisation: the fixture's ATR constants may
    // not be made yet.
    const std::vector<BYTE> kAtrAlpha = scardsim::AtrFromHex("3B 02 14 50");
    SimReset();
    ChildCheck(scardsim::AddCardType(L"Alpha Card", kAtrAlpha, L"Alpha CSP"), "card type");
    ChildCheck(SimAddReader(L"Reader Zero") && SimAddReader(L"Reader One"), "readers");

    auto plugin = quorvex::test::CreatePlugin();
    auto& object = *static_cast<quorvex::CSmartCardAuthPlugin*>(plugin.get());
    auto sink = TestSink::Create();
    DWORD cookie = 0;
    ChildCheck(quorvex::test::AdviseEvents(plugin.get(), sink.get(), &cookie) == S_OK, "advise");
    LONG rc = -1;
    LONG count = 0;
    plugin->GetDeviceCount(nullptr, nullptr, &count);
    plugin->OpenDevice(nullptr, &rc);
    ChildCheck(count == 2 && rc == 0, "reader table");

    // 1. A normal stop: the success text from the worker and from the stop.
    ChildCheck(plugin->StartCapture(nullptr, nullptr, nullptr, &rc) == S_OK && rc == 0, "first start");
    ChildCheck(SimWaitForPendingWaits(1, 5000), "first watch waits");
    ChildCheck(plugin->EndCapture(&rc) == S_OK && rc == 0, "first end");
    ::OutputDebugStringA("-- blocked sink --\n");

    // 2. The first warning's handler blocks until released, far beyond the
    // stop's 15 s; later calls pass.
    const quorvex::UniqueHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<int> warnings{0};
    std::atomic<bool> handlerReturned{false};
    sink->SetHandler([&](const SinkCall& call) {
        if (call.dispid != 1 || call.value != 0x50DB || warnings++ != 0) return;
        ::WaitForSingleObject(release.get(), 30000);
        handlerReturned = true;
    });
    ChildCheck(scardsim::InsertCard(L"Reader Zero", kAtrAlpha) != FALSE, "unresponsive card");
    SimSetCardConnectResult(L"Reader Zero", SCARD_W_UNRESPONSIVE_CARD);
    ChildCheck(plugin->StartCapture(nullptr, nullptr, nullptr, &rc) == S_OK && rc == 0, "blocked start");
    ChildCheck(WaitUntil([&] { return warnings.load() == 1; }, 5000), "blocked handler entered");

    ChildCheck(plugin->EndCapture(&rc) == S_OK && rc == 0, "timed-out end");
    ChildCheck(!object.capturing(), "idle after the time-out");
    ChildCheck(SimCallCount("SCardCancel") == 1, "the watch context was cancelled");

    // 3. The next capture works while the old worker is still blocked.
    ChildCheck(plugin->StartCapture(nullptr, nullptr, nullptr, &rc) == S_OK && rc == 0, "start after time-out");
    ChildCheck(WaitUntil([&] { return warnings.load() == 2; }, 5000), "new watch warned");
    ChildCheck(WaitUntil([] { return SimPendingWaits() >= 1; }, 5000), "new watch waits");
    ChildCheck(scardsim::InsertCard(L"Reader One", kAtrAlpha) != FALSE, "working card");
    ChildCheck(WaitUntil([&] { return !object.capturing(); }, 5000), "new capture ended");
    ChildCheck(CountEvents(*sink.get(), 2) == 1, "one DataReady");

    // 4. The old worker, released, sees its session abandoned and ends
    // without touching the new card or raising anything.
    const size_t callsBefore = sink->CallCount();
    ::SetEvent(release.get());
    ChildCheck(WaitUntil([&] { return handlerReturned.load(); }, 5000), "old handler returned");
    ChildCheck(WaitUntil([] { return SimOpenContexts() == 0; }, 5000), "old worker released its context");
    ::Sleep(300);
    ChildCheck(sink->CallCount() == callsBefore, "no event from the old worker");
    ChildCheck(SimCallCount("SCardConnectW") == 3, "the old worker connected nothing more");
    ChildCheck(SimOpenCardHandles() == 0 && SimUnfreedBuffers() == 0, "nothing left open");
    ChildCheck(CountEvents(*sink.get(), 1, 0x20CC) == 3, "three starts");
    ChildCheck(CountEvents(*sink.get(), 3) == 0, "no failure");
    plugin.reset();
}

int RunChildScenarioIfAsked()
{
    wchar_t value[32] = {};
    if (::GetEnvironmentVariableW(kChildVariable, value, 32) == 0) return 0;
    RunStopScenario();
    std::printf(g_childFailures == 0 ? "CHILD OK\n" : "CHILD FAILED\n");
    std::fflush(stdout);
    ::ExitProcess(static_cast<UINT>(g_childFailures));
}

const int g_childScenario = RunChildScenarioIfAsked();

TEST(CaptureWorkerStopTest, WorkerBlockedInASinkIsCancelledAndCutOffAfter15Seconds)
{
    (void)g_childScenario;
    const quorvex::test::DebuggedRun run = quorvex::test::RunSelfUnderDebugger({{kChildVariable, L"stop"}}, 90000);
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(0u, run.exitCode) << run.standardOutput;
    EXPECT_NE(std::string::npos, run.standardOutput.find("CHILD OK")) << run.standardOutput;

    std::vector<std::string> texts;
    for (const std::string& text : run.debugStrings) {
        if (text == kGraceful || text == kNotGraceful || text == "-- blocked sink --\n") texts.push_back(text);
    }
    // The normal stop: once from the ending worker, once from the stop.
    // Then the time-out, and each of the two later workers ending by itself.
    const std::vector<std::string> expected = {kGraceful, kGraceful, "-- blocked sink --\n", kNotGraceful,
                                               kGraceful, kGraceful};
    EXPECT_EQ(expected, texts);
}

}  // namespace
}  // namespace capture_test
