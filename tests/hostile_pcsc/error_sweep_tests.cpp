// Every error code from every PC/SC operation the product calls: each ends in
// the HRESULT or event that the operation's failure calls for, and the service
// keeps nothing open except what it refused to release itself.
#include <atomic>
#include <thread>

#include "hostile_pcsc/hostile_fixture.h"
#include "support/capture_timing_seam.h"

namespace hostile_test {
namespace {

// What one code did: to the enumeration (GetDeviceCount after a first
// enumeration of two readers and the arrival of a third) and to the capture
// (a card present in reader 0 at the start), each with the objects left open.
// An operation that only one of them calls leaves the other part as expected.
struct Observed {
    HRESULT hr = S_OK;
    LONG count = 0;
    ULONG tableCount = 2;
    Leftovers enumerationLeft = {};
    Events events = {};
    Leftovers captureLeft = {};
    bool operator==(const Observed&) const = default;
};

void PrintTo(const Observed& o, std::ostream* os)
{
    *os << "hr 0x" << std::hex << static_cast<unsigned long>(o.hr) << std::dec << ", count " << o.count << ", table "
        << o.tableCount << ", left ";
    PrintTo(o.enumerationLeft, os);
    *os << ", events {";
    for (const std::wstring& e : o.events) *os << " " << std::string(e.begin(), e.end());
    *os << " }, left ";
    PrintTo(o.captureLeft, os);
}

bool Is(LONG code, HRESULT value) { return code == static_cast<LONG>(value); }

const Events kDataReady = {L"DataReady Alpha Card|Reader Zero|Alpha CSP"};

struct Operation {
    const char* name;
    bool enumerates;   // GetDeviceCount calls it
    bool captures;     // the capture calls it
    DWORD injections;  // calls that get the code
    Observed (*expect)(LONG code);
};

// A missing service leaves the enumeration empty but successful, and the
// capture fails as "no service" (so does a stopped one); anything else fails
// both, keeping the table.
Observed ExpectEstablish(LONG code)
{
    Observed o{.hr = Is(code, SCARD_E_NO_SERVICE) ? S_OK : E_FAIL};
    o.events = {Is(code, SCARD_E_NO_SERVICE) || Is(code, SCARD_E_SERVICE_STOPPED) ? L"Failed 208" : L"Failed 214"};
    return o;
}
// No readers is an empty table; anything else fails and keeps the table.
Observed ExpectListReaders(LONG code)
{
    if (Is(code, SCARD_E_NO_READERS_AVAILABLE)) return {.hr = S_OK, .tableCount = 0};
    return {.hr = E_FAIL};
}
// Frees the service refuses leave their buffers: one list, and reader name,
// card list and provider name of the identification.
Observed ExpectFreeMemory(LONG)
{
    return {.hr = S_OK,
            .count = 3,
            .tableCount = 3,
            .enumerationLeft = {.buffers = 1},
            .events = kDataReady,
            .captureLeft = {.buffers = 3}};
}
Observed ExpectReleaseContext(LONG)
{
    return {.hr = E_FAIL,
            .count = 3,
            .tableCount = 2,
            .enumerationLeft = {.contexts = 1},
            .events = kDataReady,
            .captureLeft = {.contexts = 1}};
}
Observed ExpectWait(LONG code)
{
    if (Is(code, SCARD_E_TIMEOUT)) return {.events = kDataReady};
    if (Is(code, SCARD_E_CANCELLED)) return {};
    return {.events = {L"Failed 218"}};
}
Observed ExpectConnect(LONG code)
{
    for (HRESULT quiet : {SCARD_E_CANCELLED, SCARD_E_SYSTEM_CANCELLED, SCARD_P_SHUTDOWN, SCARD_E_SERVICE_STOPPED,
                          SCARD_W_CANCELLED_BY_USER}) {
        if (Is(code, quiet)) return {};
    }
    if (Is(code, SCARD_W_REMOVED_CARD)) return {.events = {L"StatusChanged 0x20D1"}};
    if (Is(code, SCARD_W_UNRESPONSIVE_CARD) || Is(code, SCARD_W_UNPOWERED_CARD)) {
        return {.events = {L"StatusChanged 0x50DB"}};
    }
    if (Is(code, SCARD_W_UNSUPPORTED_CARD)) return {.events = {L"StatusChanged 0x50DC"}};
    return {.events = {L"Failed 213"}};
}
Observed ExpectStatus(LONG) { return {.events = {L"Failed 216"}}; }
Observed ExpectListCards(LONG) { return {.events = {L"Failed 215"}}; }
Observed ExpectProvider(LONG) { return {.events = {L"Failed 210"}}; }
// After DataReady a refused disconnect is only logged; the handle stays.
Observed ExpectDisconnect(LONG) { return {.events = kDataReady, .captureLeft = {.handles = 1}}; }

const Operation kOperations[] = {
    {"SCardEstablishContext", true, true, 1, ExpectEstablish},
    {"SCardListReadersW", true, false, 1, ExpectListReaders},
    {"SCardFreeMemory", true, true, 1000, ExpectFreeMemory},
    {"SCardReleaseContext", true, true, 1, ExpectReleaseContext},
    {"SCardGetStatusChangeW", false, true, 1, ExpectWait},
    {"SCardConnectW", false, true, 1, ExpectConnect},
    {"SCardStatusW", false, true, 1, ExpectStatus},
    {"SCardListCardsW", false, true, 1, ExpectListCards},
    {"SCardGetCardTypeProviderNameW", false, true, 1, ExpectProvider},
    {"SCardDisconnect", false, true, 1, ExpectDisconnect},
};

void PrintTo(const Operation& op, std::ostream* os) { *os << op.name; }

class ErrorSweepTest : public HostileTest, public ::testing::WithParamInterface<Operation> {
protected:
    void RunEnumeration(const Operation& op, LONG code, Observed& seen)
    {
        UseReaders({L"Reader Zero", L"Reader One"});
        EXPECT_TRUE(SimAddReader(L"Reader Two"));
        SimInjectResult(op.name, code, op.injections);
        seen.hr = plugin->GetDeviceCount(nullptr, nullptr, &seen.count);
        seen.tableCount = object().readerCount();
        seen.enumerationLeft = ServiceLeftovers();
        ForgetRefused();
    }
    void RunCapture(const Operation& op, LONG code, Observed& seen)
    {
        UseReaders({L"Reader Zero", L"Reader One"});
        EXPECT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
        SimInjectResult(op.name, code, op.injections);
        EXPECT_EQ(0, StartCapture());
        // A warning keeps the watch waiting for another card; anything else ends it.
        EXPECT_TRUE(WaitUntil([&] {
            return !object().capturing() ||
                   (SimCallCount("SCardConnectW") > 0 && SimPendingWaits() > 0 && !WorkerEvents().empty());
        }));
        EXPECT_EQ(0, EndCapture());
        seen.events = WorkerEvents();
        seen.captureLeft = ServiceLeftovers();
        EXPECT_EQ(0u, SimCallCount("SCardCancel")) << "the worker did not end within the stop's wait";
        EXPECT_EQ(Events({L"StatusChanged 0x20CC"}), HostEvents());
        ForgetRefused();
    }
};

TEST_P(ErrorSweepTest, EveryCodeEndsAsItsFailureCallsFor)
{
    const Operation& op = GetParam();
    size_t cases = 0;
    for (const NamedCode& code : kEveryError) {
        SCOPED_TRACE(code.name);
        Observed expected = op.expect(code.value);
        Observed seen = expected;
        if (op.enumerates) {
            RunEnumeration(op, code.value, seen);
            Renew();
            ++cases;
        }
        if (op.captures) {
            RunCapture(op, code.value, seen);
            Renew();
            ++cases;
        }
        EXPECT_EQ(expected, seen);
    }
    ReportCases(op.name, cases);
}

INSTANTIATE_TEST_SUITE_P(Operations, ErrorSweepTest, ::testing::ValuesIn(kOperations),
                         [](const auto& info) { return std::string(info.param.name); });

// SCardCancel is called only when a watch does not end within the stop's
// bound (shortened here): every wait hangs until cancelled, and every cancel fails with a
// code of its own, all objects at once. The stop still returns, the object
// starts a working capture, and the hung workers end quietly once the
// service lets go.
TEST_F(HostileTest, FailingCancelOfAHungWaitStillLetsTheObjectGoOn)
{
    const quorvex::test::ShortCaptureTiming timing;
    ASSERT_TRUE(timing.found());
    const size_t n = kEveryError.size();
    UseReaders({L"Reader Zero", L"Reader One"});
    std::vector<LONG> codes;
    for (const NamedCode& code : kEveryError) codes.push_back(code.value);
    SimInjectResults("SCardCancel", codes.data(), static_cast<DWORD>(codes.size()));
    SimSetHostile("SCardGetStatusChangeW", SIM_HOSTILE_WAIT_HANG, 0, static_cast<DWORD>(n));

    std::vector<ComPtr<IPkiAuthenticationPlugin>> objects(n);
    for (auto& other : objects) {
        other = quorvex::test::CreatePlugin();
        LONG count = 0, rc = -1;
        ASSERT_EQ(S_OK, other->GetDeviceCount(nullptr, nullptr, &count));
        ASSERT_EQ(S_OK, other->OpenDevice(nullptr, &rc));
        DWORD otherCookie = 0;
        ASSERT_EQ(S_OK, quorvex::test::AdviseEvents(other.get(), sink.get(), &otherCookie));
        ASSERT_EQ(S_OK, other->StartCapture(nullptr, nullptr, nullptr, &rc));
        ASSERT_EQ(0, rc);
    }
    ASSERT_TRUE(SimWaitForPendingWaits(static_cast<DWORD>(n), 10000));

    std::atomic<size_t> stopped{0};
    std::vector<std::thread> stoppers;
    for (auto& other : objects) {
        stoppers.emplace_back([&stopped, target = other.get()] {
            LONG rc = -1;
            if (target->EndCapture(&rc) == S_OK && rc == 0) ++stopped;
        });
    }
    for (std::thread& stopper : stoppers) stopper.join();
    EXPECT_EQ(n, stopped.load());
    EXPECT_EQ(n, SimCallCount("SCardCancel"));
    EXPECT_EQ(n, SimPendingWaits()) << "every cancel failed, so every wait still hangs";

    // The object itself has a fresh capture that works.
    sink->ClearCalls();
    ASSERT_EQ(0, StartCapture());
    ASSERT_TRUE(scardsim::InsertCard(L"Reader One", kAtrAlpha));
    EXPECT_EQ(Events({L"DataReady Alpha Card|Reader One|Alpha CSP"}), EndedWorkerEvents());

    // The service lets go of the hung waits: the abandoned workers raise nothing.
    objects.clear();
    SimReset();
    EXPECT_TRUE(WaitUntil([] { return SimPendingWaits() == 0; }));
    ::Sleep(200);
    EXPECT_EQ(Events({L"DataReady Alpha Card|Reader One|Alpha CSP"}), WorkerEvents());
    ReportCases("SCardCancel", n);
}

}  // namespace
}  // namespace hostile_test
