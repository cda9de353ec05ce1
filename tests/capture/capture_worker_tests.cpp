// StartCapture, EndCapture, destruction while capturing, and the stop of a
// worker that does not end in time.

#include <atomic>
#include <string>

#include "capture/capture_fixture.h"
#include "support/capture_timing_seam.h"
#include "support/debugger_channel.h"
#include "win/unique_handle.h"

namespace capture_test {
namespace {

using CaptureWorkerTest = CaptureTest;

TEST_F(CaptureWorkerTest, SecondStartIsRefusedAndAfterDataReadyANewCaptureStarts)
{
    UseReaders({L"Reader Zero"});
    EXPECT_EQ(E_POINTER, plugin->StartCapture(nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(object().capturing());
    ASSERT_EQ(0, StartCapture());
    EXPECT_EQ(-1, StartCapture());
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
    WaitForWorkerEnd();
    ASSERT_EQ(0, StartCapture());
    WaitForWorkerEnd();

    EXPECT_EQ(Events({L"StatusChanged 0x20CC", L"StatusChanged 0x40D9", L"StatusChanged 0x20CC"}), HostEvents());
    EXPECT_EQ(Events(2, L"DataReady Alpha Card|Reader Zero|Alpha CSP"), WorkerEvents());
    // One context for the enumeration and one per watch: the refused start made none.
    EXPECT_EQ(3u, SimCallCount("SCardEstablishContext"));
}

TEST_F(CaptureWorkerTest, EndCaptureStopsAWaitingWatchQuietlyAndCanBeRepeated)
{
    EXPECT_EQ(0, EndCapture());
    UseReaders({L"Reader Zero"});
    ASSERT_EQ(0, StartCapture());
    ASSERT_TRUE(SimWaitForPendingWaits(1, 5000));
    EXPECT_EQ(E_POINTER, plugin->EndCapture(nullptr));
    EXPECT_TRUE(object().capturing());
    EXPECT_EQ(0, EndCapture());
    EXPECT_FALSE(object().capturing());
    // The worker has ended by itself: everything it held is back, nothing was cancelled.
    EXPECT_EQ(0u, SimOpenContexts());
    EXPECT_EQ(0u, SimCallCount("SCardCancel"));
    EXPECT_EQ(0, EndCapture());

    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
    ::Sleep(150);
    EXPECT_EQ(0u, SimCallCount("SCardConnectW"));
    EXPECT_EQ(Events({L"StatusChanged 0x20CC"}), HostEvents());
    EXPECT_TRUE(WorkerEvents().empty());
}

TEST_F(CaptureWorkerTest, NoReaderSelectedFailsWith211ThenANewCaptureStarts)
{
    OpenTestLog(1);
    ASSERT_TRUE(SimAddReader(L"Reader Zero"));
    ASSERT_EQ(-1, object().selectedIndex());
    ASSERT_EQ(0, StartCapture());
    WaitForWorkerEnd();
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

// A worker that does not end within the stop's bound (shortened for the
// test). The test runs itself again in a child under a debugger, which
// receives the worker's texts; the child plays the scenario with this
// fixture's checks.
TEST_F(CaptureWorkerTest, WorkerBlockedInASinkIsCancelledAndCutOffAfterTheStopBound)
{
    const std::string kGraceful = "SUCCESS: worker thread was terminated gracefully\n";
    const std::string kNotGraceful = "FAILURE FAILURE FAILURE: Failed to terminate worker thread gracefully\n";
    const std::string kMark = "-- blocked sink --\n";
    if (::GetEnvironmentVariableW(L"QUORVEX_CAPTURE_CHILD", nullptr, 0) == 0) {
        const std::vector<std::string> texts = quorvex::test::RunCurrentTestUnderDebugger(
            L"QUORVEX_CAPTURE_CHILD", {kGraceful, kNotGraceful, kMark});
        // The normal stop: once from the ending worker, once from the stop.
        // Then the time-out, and each of the two later workers ending by itself.
        EXPECT_EQ(std::vector<std::string>({kGraceful, kGraceful, kMark, kNotGraceful, kGraceful, kGraceful}), texts);
        return;
    }
    const quorvex::test::ShortCaptureTiming timing;
    ASSERT_TRUE(timing.found());
    UseReaders({L"Reader Zero", L"Reader One"});
    ASSERT_EQ(0, StartCapture());
    ASSERT_TRUE(SimWaitForPendingWaits(1, 5000));
    ASSERT_EQ(0, EndCapture());
    ::OutputDebugStringA(kMark.c_str());

    // The first warning's handler blocks until released, beyond the stop's
    // bound; later calls pass.
    const quorvex::UniqueHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<int> warnings{0};
    std::atomic<bool> handlerReturned{false};
    sink->SetHandler([&](const SinkCall& call) {
        if (call.dispid != 1 || call.value != 0x50DB || warnings++ != 0) return;
        ::WaitForSingleObject(release.get(), 30000);
        handlerReturned = true;
    });
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
    ASSERT_TRUE(SimSetCardConnectResult(L"Reader Zero", SCARD_W_UNRESPONSIVE_CARD));
    ASSERT_EQ(0, StartCapture());
    ASSERT_TRUE(WaitUntil([&] { return warnings == 1; }));
    EXPECT_EQ(0, EndCapture());
    EXPECT_FALSE(object().capturing());
    EXPECT_EQ(1u, SimCallCount("SCardCancel"));

    // The next capture works while the old worker is still blocked.
    ASSERT_EQ(0, StartCapture());
    ASSERT_TRUE(WaitUntil([&] { return warnings == 2 && SimPendingWaits() >= 1; }));
    ASSERT_TRUE(scardsim::InsertCard(L"Reader One", kAtrAlpha));
    WaitForWorkerEnd();

    // The old worker, released, sees its session abandoned and ends without
    // touching the new card or raising anything.
    ::SetEvent(release.get());
    ASSERT_TRUE(WaitUntil([&] { return handlerReturned && SimOpenContexts() == 0; }));
    ::Sleep(300);
    EXPECT_EQ(3u, SimCallCount("SCardConnectW"));
    EXPECT_EQ(Events(3, L"StatusChanged 0x20CC"), HostEvents());
    EXPECT_EQ(Events({L"StatusChanged 0x50DB", L"StatusChanged 0x50DB", L"DataReady Alpha Card|Reader One|Alpha CSP"}),
              WorkerEvents());
}

}  // namespace
}  // namespace capture_test
