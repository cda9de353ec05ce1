// A sink that stops the capture from inside one of the worker's own events:
// EndCapture, or the release of the object's last reference, on the worker's
// thread. The stop cannot wait for the thread it runs on; it must come back at
// once instead of sitting out its 15 s time-out, and the worker, once the
// handler returns, must raise nothing more and give everything back.
#include <atomic>

#include "capture_races/races_fixture.h"

namespace capture_test {
namespace {

struct ReentrantStop {
    const char* name;
    const wchar_t* event;  // the event whose handler stops
    bool release;          // drops the last reference instead of EndCapture
};

void PrintTo(const ReentrantStop& c, std::ostream* os) { *os << c.name; }

const ReentrantStop kReentrantStops[] = {
    {"EndCaptureInsideAWarning", L"StatusChanged 0x50DB", false},
    {"EndCaptureInsideDataReady", L"DataReady Alpha Card|Reader One|Alpha CSP", false},
    {"ReleaseInsideAWarning", L"StatusChanged 0x50DB", true},
    {"ReleaseInsideDataReady", L"DataReady Alpha Card|Reader One|Alpha CSP", true},
};

class ReentrantStopTest : public RaceTest, public ::testing::WithParamInterface<ReentrantStop> {};

TEST_P(ReentrantStopTest, StopFromInsideAnEventReturnsAtOnceAndTheWorkerGoesQuiet)
{
    const ReentrantStop& c = GetParam();
    UseReaders({L"Reader Zero", L"Reader One"});
    // Held by the object until it is destroyed, and never called.
    const ComPtr<TestSink> holder = TestSink::Create({.answersEventDiid = false, .answersPropertyNotifySink = true});
    DWORD holderCookie = 0;
    ASSERT_EQ(
        S_OK,
        quorvex::test::FindConnectionPoint(plugin.get(), IID_IPropertyNotifySink)->Advise(holder.get(), &holderCookie));

    std::atomic<bool> stopped{false};
    std::atomic<LONG> endCaptureResult{-99};
    const HandlerScope handling = HandleEvents([&](const SinkCall& call) {
        if (Describe(call) != c.event || stopped) return;
        if (c.release) {
            plugin.reset();
        } else {
            LONG rc = -99;
            plugin->EndCapture(&rc);
            endCaptureResult = rc;
        }
        stopped = true;
    });
    const bool warning = std::wstring(c.event).starts_with(L"StatusChanged");
    if (warning) {
        ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
        ASSERT_TRUE(SimSetCardConnectResult(L"Reader Zero", SCARD_W_UNRESPONSIVE_CARD));
    } else {
        ASSERT_TRUE(scardsim::InsertCard(L"Reader One", kAtrAlpha));
    }
    ASSERT_EQ(0, StartCapture());
    // Well short of the stop's 15 s: a stop that waited for its own thread
    // would still be sitting it out.
    ASSERT_TRUE(WaitUntil([&] { return stopped.load(); }, 8000)) << "the stop inside the handler did not come back";
    if (!c.release) {
        EXPECT_EQ(0, endCaptureResult.load());
    }
    EXPECT_EQ(c.release ? 1u : 2u, holder->RefCount());

    // A card that a watch still going would now find.
    if (warning) {
        ASSERT_TRUE(scardsim::InsertCard(L"Reader One", kAtrAlpha));
    }
    EXPECT_TRUE(WaitUntil([&] { return SimOpenContexts() == 0; }));
    ::Sleep(250);
    EXPECT_EQ(Events({c.event}), WorkerEvents());
    EXPECT_EQ(1u, SimCallCount("SCardConnectW"));
    if (plugin) {
        EXPECT_FALSE(object().capturing());
        EXPECT_EQ(0, StartCapture());
    }
}

INSTANTIATE_TEST_SUITE_P(Races, ReentrantStopTest, ::testing::ValuesIn(kReentrantStops),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace capture_test
