// Hosts that call the plug-in back from inside its event handlers: restarts
// from the final event, stops racing those restarts, the last release inside
// a handler, a stop that gives up on a blocked sink, handlers that enumerate.
// Whatever the host does, one object runs at most one watch at a time, and
// once a stop has returned nothing of that object calls a sink again.
#include <atomic>
#include <random>
#include <thread>

#include "capture_races/races_fixture.h"
#include "support/capture_timing_seam.h"
#include "support/stress_size.h"
#include "win/unique_handle.h"

namespace capture_test {
namespace {

// Open contexts seen by a handler of a final event, before it calls anything:
// only the watch's own can be open then.
class ContextPeak {
public:
    void Sample() noexcept
    {
        const DWORD open = SimOpenContexts();
        for (DWORD seen = peak_.load(); open > seen && !peak_.compare_exchange_weak(seen, open);) {}
    }
    DWORD peak() const noexcept { return peak_.load(); }

private:
    std::atomic<DWORD> peak_{0};
};

struct RestartLoop {
    const char* name;
    const std::vector<BYTE>* atr;  // the card that stays in the reader; null: none
    DWORD service;
    DISPID finalDispid;  // 2 DataReady, 3 Failed
};

void PrintTo(const RestartLoop& c, std::ostream* os) { *os << c.name; }

const RestartLoop kRestartLoops[] = {
    {"DataReady", &kAtrAlpha, SIM_SERVICE_RUNNING, 2},
    {"UnknownCard", &kAtrUnknown, SIM_SERVICE_RUNNING, 3},
    {"ServiceStopped", nullptr, SIM_SERVICE_STOPPED, 3},
};

class RestartLoopTest : public RaceTest, public ::testing::WithParamInterface<RestartLoop> {};

// A handler that answers every final event with StartCapture, stopped by the
// host's EndCapture: the stop ends the loop for good.
TEST_P(RestartLoopTest, EndCaptureEndsAHandlerRestartLoop)
{
    const RestartLoop& c = GetParam();
    UseReaders({L"Reader Zero"});
    if (c.atr) {
        ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", *c.atr));
    }
    SimSetServiceState(c.service);
    // An old run that still released its context would overlap the next one.
    SimSetDelay("SCardReleaseContext", 3);

    ContextPeak contexts;
    std::atomic<int> finals{0}, restarts{0}, refused{0};
    const HandlerScope handling = HandleEvents([&](const SinkCall& call) {
        if (call.dispid != c.finalDispid) return;
        contexts.Sample();
        ++finals;
        if (StartCapture() == 0) {
            ++restarts;
        } else {
            ++refused;
        }
    });
    ASSERT_EQ(0, StartCapture());
    ASSERT_TRUE(WaitUntil([&] { return finals >= 20; }));
    EXPECT_EQ(0, EndCapture());

    const std::size_t callsAtStop = sink->CallCount();
    ::Sleep(300);
    EXPECT_EQ(callsAtStop, sink->CallCount()) << "events arrived after EndCapture returned";
    EXPECT_FALSE(object().capturing());
    EXPECT_EQ(0u, SimOpenContexts());
    EXPECT_EQ(0u, SimOpenCardHandles());
    EXPECT_LE(contexts.peak(), 1u) << "two watch contexts were open at once";
    // Refusals can only come from the stop itself.
    EXPECT_LE(refused.load(), 1);
    // The next capture is not refused as "still running".
    EXPECT_EQ(0, StartCapture());
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, RestartLoopTest, ::testing::ValuesIn(kRestartLoops),
                         [](const auto& info) { return std::string(info.param.name); });

// Failed(210) answered with StartCapture: each run's 0x80DE comes before the
// next run's first event.
TEST_F(RaceTest, RestartFromAnUnknownCardKeepsTheRunsApart)
{
    UseReaders({L"Reader Zero"});
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrUnknown));
    ContextPeak contexts;
    std::atomic<int> failures{0};
    const HandlerScope handling = HandleEvents([&](const SinkCall& call) {
        if (call.dispid == 3 && ++failures < 4) {
            EXPECT_EQ(0, StartCapture());
            // Time enough for a second watch to get going beside this one.
            ::Sleep(30);
            contexts.Sample();
        }
    });
    ASSERT_EQ(0, StartCapture());
    ASSERT_TRUE(WaitUntil([&] { return failures >= 4 && !object().capturing(); }));

    const Events run = {L"Failed 210", L"StatusChanged 0x20CC", L"StatusChanged 0x80DE"};
    Events expected;
    for (int i = 0; i < 3; ++i) expected.insert(expected.end(), run.begin(), run.end());
    expected.push_back(L"Failed 210");
    expected.push_back(L"StatusChanged 0x80DE");
    EXPECT_EQ(expected, WorkerEvents());
    EXPECT_EQ(1u, contexts.peak()) << "two watch contexts were open at once";
}

// EndCapture on the host's thread while the DataReady handler restarts: once
// EndCapture has returned, no further DataReady arrives.
TEST_F(RaceTest, EndCaptureWhileTheHandlerRestartsLeavesNothingRunning)
{
    UseReaders({L"Reader Zero"});
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
    const quorvex::UniqueHandle inHandler(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const quorvex::UniqueHandle stopping(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<LONG> restart{-99};
    const HandlerScope handling = HandleEvents([&](const SinkCall& call) {
        if (call.dispid != 2 || restart != -99) return;
        ::SetEvent(inHandler.get());
        // The host's stop is under way before the handler restarts.
        ::WaitForSingleObject(stopping.get(), 5000);
        EXPECT_TRUE(WaitUntil([&] { return object().stopUnderWay(); }));
        // A restarted watch would wait for the card the host inserts later.
        SimRemoveCard(L"Reader Zero");
        restart = StartCapture();
    });
    ASSERT_EQ(0, StartCapture());
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(inHandler.get(), 10000));
    ::SetEvent(stopping.get());
    EXPECT_EQ(0, EndCapture());
    // Refused when the stop was already under way; a restart taken just
    // before it is dropped by it.
    EXPECT_NE(-99, restart.load());
    const std::size_t callsAtStop = sink->CallCount();
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
    ::Sleep(300);
    EXPECT_EQ(callsAtStop, sink->CallCount());
    EXPECT_FALSE(object().capturing());
    EXPECT_EQ(0u, SimOpenContexts());
}

// The handler restarts and then drops the last reference to the object.
TEST_F(RaceTest, LastReleaseInsideTheHandlerAfterARestart)
{
    UseReaders({L"Reader Zero"});
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
    std::atomic<bool> released{false};
    std::atomic<LONG> restart{-99};
    const HandlerScope handling = HandleEvents([&](const SinkCall& call) {
        if (call.dispid != 2 || released) return;
        restart = StartCapture();
        plugin.reset();
        released = true;
    });
    ASSERT_EQ(0, StartCapture());
    ASSERT_TRUE(WaitUntil([&] { return released.load(); }));
    EXPECT_EQ(0, restart.load());
    EXPECT_TRUE(WaitUntil([&] { return SimOpenContexts() == 0 && SimOpenCardHandles() == 0; }));
    ::Sleep(300);
    int dataReady = 0;
    for (const SinkCall& call : sink->Calls()) dataReady += call.dispid == 2;
    EXPECT_EQ(1, dataReady) << "the restart asked for before the release ran on a destroyed object";
    EXPECT_EQ(0u, SimUnfreedBuffers());
}

// A stop that gives up on a sink blocked inside DataReady: when that sink
// returns, the abandoned worker calls no other sink of the same event.
TEST_F(RaceTest, TimedOutStopCallsNoFurtherSink)
{
    const quorvex::test::ShortCaptureTiming timing;
    ASSERT_TRUE(timing.found());
    UseReaders({L"Reader Zero"});
    const ComPtr<TestSink> second = TestSink::Create();
    DWORD secondCookie = 0;
    ASSERT_EQ(S_OK, quorvex::test::AdviseEvents(plugin.get(), second.get(), &secondCookie));
    const quorvex::UniqueHandle entered(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const quorvex::UniqueHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const HandlerScope handling = HandleEvents([&](const SinkCall& call) {
        if (call.dispid != 2) return;
        ::SetEvent(entered.get());
        ::WaitForSingleObject(release.get(), 30000);
    });
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
    ASSERT_EQ(0, StartCapture());
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(entered.get(), 10000));
    EXPECT_EQ(0, EndCapture());  // gives up after the stop's bound
    EXPECT_FALSE(object().capturing());
    ::SetEvent(release.get());
    EXPECT_TRUE(WaitUntil([&] { return SimOpenContexts() == 0 && SimOpenCardHandles() == 0; }));
    ::Sleep(200);
    for (const SinkCall& call : second->Calls()) {
        EXPECT_NE(2, call.dispid) << "the abandoned worker delivered DataReady to the second sink";
    }
    EXPECT_EQ(0u, SimUnfreedBuffers());
}

// Handlers that enumerate, read and select readers while the host's thread
// does the same, and restart from every final event: the table is never
// corrupted and nothing leaks.
TEST_F(RaceTest, HandlersThatReEnumerateWhileTheHostDoesToo)
{
    UseReaders({L"Reader Zero", L"Reader One", L"Reader Two"});
    ASSERT_TRUE(scardsim::InsertCard(L"Reader One", kAtrAlpha));
    std::atomic<int> finals{0};
    const HandlerScope handling = HandleEvents([&](const SinkCall& call) {
        LONG count = 0, rc = 0;
        EXPECT_EQ(S_OK, plugin->GetDeviceCount(nullptr, nullptr, &count));
        EXPECT_EQ(3, count);
        quorvex::UniqueBstr name;
        EXPECT_EQ(S_OK, plugin->GetDeviceID(1, name.put()));
        EXPECT_EQ(S_OK, plugin->OpenDevice(name.get(), &rc));
        if (call.dispid == 2) {
            ++finals;
            StartCapture();
        }
    });
    ASSERT_EQ(0, StartCapture());
    for (int i = 0; i < 300 && finals < 30; ++i) {
        LONG count = 0, rc = 0;
        EXPECT_EQ(S_OK, plugin->GetDeviceCount(nullptr, nullptr, &count));
        quorvex::UniqueBstr name;
        EXPECT_EQ(S_OK, plugin->GetDeviceID(i % 3, name.put()));
        EXPECT_EQ(S_OK, plugin->OpenDevice(nullptr, &rc));
    }
    EXPECT_EQ(0, EndCapture());
    EXPECT_GT(finals.load(), 0);
    for (const SinkCall& call : sink->Calls()) {
        if (call.dispid == 2) {
            EXPECT_EQ(Describe(call), L"DataReady Alpha Card|Reader One|Alpha CSP");
        }
    }
    EXPECT_EQ(0u, SimOpenContexts());
    EXPECT_EQ(0u, SimUnfreedBuffers());
}

// A host that calls every method at random from inside its handlers while
// its own thread starts, stops and releases. The handlers use a reference of
// their own, which one of them may drop: then it may be the last one.
TEST_F(RaceTest, RandomHandlerCallsNeverBreakTheOneRunRule)
{
    const std::uint32_t seed = quorvex::test::StressSeed(0x13C0FFEE);
    const std::size_t rounds = quorvex::test::StressCount(40, 1500);
    std::printf("seed %u, %zu rounds\n", seed, rounds);
    std::mt19937 random(seed);
    ASSERT_TRUE(SimAddReader(L"Reader Zero"));
    ASSERT_TRUE(SimAddReader(L"Reader One"));
    const std::vector<BYTE>* cards[] = {&kAtrAlpha, &kAtrUnknown, &kAtrNoCsp};
    const DWORD hostThread = ::GetCurrentThreadId();

    for (std::size_t round = 0; round < rounds; ++round) {
        if (!plugin) {
            plugin = quorvex::test::CreatePlugin();
            ASSERT_TRUE(plugin);
            ASSERT_EQ(S_OK, quorvex::test::AdviseEvents(plugin.get(), sink.get(), &cookie));
        }
        LONG count = 0, rc = 0;
        ASSERT_EQ(S_OK, plugin->GetDeviceCount(nullptr, nullptr, &count));
        ASSERT_EQ(S_OK, plugin->OpenDevice(nullptr, &rc));
        SimRemoveCard(L"Reader Zero");
        SimRemoveCard(L"Reader One");
        ASSERT_TRUE(scardsim::InsertCard(random() % 2 ? L"Reader Zero" : L"Reader One", *cards[random() % 3]));

        ContextPeak contexts;
        std::mt19937 handlerRandom(random());
        IPkiAuthenticationPlugin* own = plugin.get();
        own->AddRef();
        std::atomic<IPkiAuthenticationPlugin*> handlerRef{own};
        std::atomic<bool> gone{false};
        std::atomic<int> callsAfterGone{0};
        const auto dropHandlerRef = [&] {
            if (IPkiAuthenticationPlugin* p = handlerRef.exchange(nullptr)) {
                if (p->Release() == 0) gone = true;
            }
        };
        const HandlerScope handling = HandleEvents([&](const SinkCall& call) {
            if (gone) ++callsAfterGone;
            IPkiAuthenticationPlugin* p = handlerRef.load();
            // The host's own thread only ever sees StartCapture's status.
            if (!p || call.threadId == hostThread) return;
            if (call.dispid != 1) contexts.Sample();
            LONG n = 0, code = 0;
            quorvex::UniqueBstr name;
            switch (handlerRandom() % 8) {
            case 0: p->GetDeviceCount(nullptr, nullptr, &n); break;
            case 1: p->GetDeviceID(static_cast<LONG>(handlerRandom() % 3), name.put()); break;
            case 2: p->OpenDevice(nullptr, &code); break;
            case 3: p->EndCapture(&code); break;
            case 4: dropHandlerRef(); break;
            default: p->StartCapture(nullptr, nullptr, nullptr, &code); break;
            }
        });
        ASSERT_EQ(0, StartCapture());
        ::Sleep(random() % 40);
        // The host's EndCapture, or its release (the last one when a handler
        // has dropped its reference already).
        if (random() % 2) EndCapture();
        plugin.reset();
        dropHandlerRef();
        const std::size_t callsAtStop = sink->CallCount();
        ASSERT_TRUE(WaitUntil([&] { return SimOpenContexts() == 0 && SimOpenCardHandles() == 0; }))
            << "round " << round;
        ::Sleep(5);
        EXPECT_EQ(callsAtStop, sink->CallCount()) << "events after the last release returned, round " << round;
        EXPECT_EQ(0, callsAfterGone.load()) << "events after a handler's last release, round " << round;
        EXPECT_LE(contexts.peak(), 1u) << "two watch contexts at once, round " << round;
        EXPECT_EQ(0u, SimUnfreedBuffers());
        sink->ClearCalls();
    }
}

}  // namespace
}  // namespace capture_test
