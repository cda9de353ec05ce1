// Status-change waits that come back at once, forever: the watch must neither
// burn a core nor miss its stop. Measured by the CPU time of the watch's own
// thread over a second and by the number of waits it made, not by wall time.
#include "hostile_pcsc/hostile_fixture.h"

namespace hostile_test {
namespace {

struct SpinCase {
    const char* name;
    DWORD hostileMode;  // SIM_HOSTILE_NONE: `injected` instead
    LONG injected;      // returned by every wait, which then leaves the records alone
    int readers;        // watched readers
    bool inWaitPhase;   // after a connection warning
};

void PrintTo(const SpinCase& c, std::ostream* os) { *os << c.name; }

const SpinCase kSpinCases[] = {
    {"NoChange", SIM_HOSTILE_WAIT_NO_CHANGE, 0, 2, false},
    {"ChangedFlagSameState", SIM_HOSTILE_WAIT_CHANGED_FLAG, 0, 2, false},
    {"SuccessLeavingRecords", SIM_HOSTILE_NONE, SCARD_S_SUCCESS, 2, false},
    {"TimeoutAtOnce", SIM_HOSTILE_NONE, SCARD_E_TIMEOUT, 2, false},
    {"WaitPhaseNoChange", SIM_HOSTILE_WAIT_NO_CHANGE, 0, 2, true},
    {"WaitPhaseChangedFlag", SIM_HOSTILE_WAIT_CHANGED_FLAG, 0, 2, true},
    {"WaitPhaseTimeoutAtOnce", SIM_HOSTILE_NONE, SCARD_E_TIMEOUT, 2, true},
    {"NoReadersNoChange", SIM_HOSTILE_WAIT_NO_CHANGE, 0, 0, false},
    {"NoReadersTimeoutAtOnce", SIM_HOSTILE_NONE, SCARD_E_TIMEOUT, 0, false},
};

// Over a second a paced watch makes about ten waits and uses a few
// milliseconds of CPU; a spinning one makes many thousands and uses most of a
// core. The bounds are per second of watching.
constexpr double kCpuBoundMsPerSecond = 250;
constexpr DWORD kWaitBoundPerSecond = 25;

class SpinTest : public HostileTest, public ::testing::WithParamInterface<SpinCase> {};

TEST_P(SpinTest, WatchPacesItsWaitsAndStillStops)
{
    const SpinCase& c = GetParam();
    Events expected;
    if (c.readers == 0) {
        LONG rc = 0;
        EXPECT_EQ(E_FAIL, plugin->OpenDevice(nullptr, &rc));  // slot 0 selected on an empty table
    } else {
        UseReaders({L"Reader Zero", L"Reader One"});
    }
    if (c.inWaitPhase) {
        ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
        ASSERT_TRUE(SimSetCardConnectResult(L"Reader Zero", SCARD_W_UNRESPONSIVE_CARD));
        expected.push_back(L"StatusChanged 0x50DB");
    }
    ASSERT_EQ(0, StartCapture());
    ASSERT_TRUE(WaitUntil([&] { return WorkerEvents().size() == expected.size() && SimPendingWaits() > 0; }));
    const DWORD worker = SimLastCallerThread("SCardGetStatusChangeW");
    ASSERT_NE(0u, worker);

    if (c.hostileMode != SIM_HOSTILE_NONE) {
        SimSetHostile("SCardGetStatusChangeW", c.hostileMode, 0, INFINITE);
    } else {
        SimInjectResult("SCardGetStatusChangeW", c.injected, INFINITE);
    }
    // The pending real wait has ended once a wait begins after the arming;
    // from there on every wait answers at once.
    const DWORD waitsArmed = SimCallCount("SCardGetStatusChangeW");
    ASSERT_TRUE(WaitUntil([&] { return SimCallCount("SCardGetStatusChangeW") > waitsArmed; }));
    const DWORD seconds = static_cast<DWORD>(quorvex::test::StressCount(1, 5));
    const double cpuBefore = ThreadCpuMs(worker);
    const DWORD waitsBefore = SimCallCount("SCardGetStatusChangeW");
    ::Sleep(1000 * seconds);
    const double cpu = ThreadCpuMs(worker) - cpuBefore;
    const DWORD waits = SimCallCount("SCardGetStatusChangeW") - waitsBefore;
    EXPECT_GE(waits, 2u) << "the hostile waits did not start";
    EXPECT_LE(waits, kWaitBoundPerSecond * seconds);
    EXPECT_LT(cpu, kCpuBoundMsPerSecond * seconds) << waits << " waits";
    std::printf("[ figures  ] %s: %lu waits, %.1f ms CPU in %lu s\n", c.name, static_cast<unsigned long>(waits), cpu,
                static_cast<unsigned long>(seconds));

    EXPECT_EQ(0, EndCapture());
    EXPECT_FALSE(object().capturing());
    EXPECT_EQ(0u, SimCallCount("SCardCancel")) << "the watch missed its stop";
    EXPECT_EQ(expected, WorkerEvents());
    SimSetHostile("SCardGetStatusChangeW", SIM_HOSTILE_NONE, 0, 0);
    SimInjectResult("SCardGetStatusChangeW", 0, 0);
}

INSTANTIATE_TEST_SUITE_P(Waits, SpinTest, ::testing::ValuesIn(kSpinCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace hostile_test
