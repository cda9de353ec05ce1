// A card that arrives while EndCapture runs. Whatever the moment, EndCapture
// returns 0 with the capture's DataReady either delivered completely or not
// at all, nothing reaches a sink after it returned, and the service gets back
// everything the watch took.
#include <atomic>
#include <cstdio>
#include <thread>

#include "capture_races/races_fixture.h"
#include "support/stress_size.h"

namespace capture_test {
namespace {

struct StopWindow {
    const char* name;
    // A service call made slow, so that the stop also falls inside it.
    const char* slowOperation;
    DWORD slowMs;
};

void PrintTo(const StopWindow& c, std::ostream* os) { *os << c.name; }

const StopWindow kStopWindows[] = {
    {"QuickService", nullptr, 0},
    {"SlowConnect", "SCardConnectW", 25},
    {"SlowIdentification", "SCardListCardsW", 25},
    {"SlowRelease", "SCardReleaseContext", 25},
};

class StopWindowTest : public RaceTest, public ::testing::WithParamInterface<StopWindow> {};

// The insertion moment runs from before EndCapture is called (identification
// already under way) to past the watch's next timed-out wait (the stop flag
// seen first); the steps are finest around that wait's end.
TEST_P(StopWindowTest, CardArrivingWhileEndCaptureRuns)
{
    UseReaders({L"Reader Zero"});
    if (GetParam().slowOperation) SimSetDelay(GetParam().slowOperation, GetParam().slowMs);

    std::atomic<int> started{0}, finished{0};
    const HandlerScope handling = HandleEvents([&](const SinkCall& call) {
        if (call.dispid != 2) return;
        ++started;
        ::Sleep(2);  // a host that takes its time over the card
        ++finished;
    });

    const int coarse = quorvex::test::LargeStressRun() ? 1 : 20;
    const int fine = quorvex::test::LargeStressRun() ? 1 : 7;
    const int rounds = static_cast<int>(quorvex::test::StressCount(1, 2));
    int runs = 0, delivered = 0;
    for (int round = 0; round < rounds; ++round) {
        for (int offset = -30; offset <= 130; offset += (offset >= 80 && offset < 115) ? fine : coarse) {
            SCOPED_TRACE(testing::Message() << "insertion " << offset << " ms after EndCapture began");
            sink->ClearCalls();
            started = finished = 0;
            ASSERT_EQ(0, StartCapture());
            WaitForWatchToTakeIn();  // the first wait answers at once; the second one waits

            std::thread insertion;
            if (offset < 0) {
                ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
                ::Sleep(static_cast<DWORD>(-offset));
            } else {
                insertion = std::thread([offset] {
                    ::Sleep(static_cast<DWORD>(offset));
                    scardsim::InsertCard(L"Reader Zero", kAtrAlpha);
                });
            }
            EXPECT_EQ(0, EndCapture());
            const size_t callsAtReturn = sink->CallCount();
            const int startedAtReturn = started, finishedAtReturn = finished;
            const bool running = object().capturing();
            const DWORD contexts = SimOpenContexts(), cards = SimOpenCardHandles(), buffers = SimUnfreedBuffers();
            if (insertion.joinable()) insertion.join();

            EXPECT_FALSE(running);
            EXPECT_EQ(startedAtReturn, finishedAtReturn) << "EndCapture returned while DataReady was being delivered";
            EXPECT_LE(startedAtReturn, 1);
            // A card that was there before the stop is always delivered.
            if (offset < 0) {
                EXPECT_EQ(1, startedAtReturn);
            }
            EXPECT_EQ(0u, contexts);
            EXPECT_EQ(0u, cards);
            EXPECT_EQ(0u, buffers);

            ::Sleep(5);  // anything late would show by now: the worker has ended
            EXPECT_EQ(callsAtReturn, sink->CallCount()) << "event after EndCapture returned";
            const Events expected = startedAtReturn == 1 ? Events{L"DataReady Alpha Card|Reader Zero|Alpha CSP"}
                                                         : Events{};
            EXPECT_EQ(expected, WorkerEvents());
            EXPECT_EQ(Events({L"StatusChanged 0x20CC"}), HostEvents());

            ASSERT_TRUE(SimRemoveCard(L"Reader Zero"));
            ++runs;
            delivered += startedAtReturn;
            if (HasFailure()) return;
        }
    }
    std::printf("%s: %d stops, %d with DataReady\n", GetParam().name, runs, delivered);
    RecordProperty("stops", runs);
}

INSTANTIATE_TEST_SUITE_P(Races, StopWindowTest, ::testing::ValuesIn(kStopWindows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace capture_test
