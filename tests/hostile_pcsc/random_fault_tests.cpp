// Many enumerations and captures, each with a random card coming or going at
// a random moment and one random fault: an error code from any operation or a
// hostile answer. Whatever happens, every capture ends (by itself or at once
// on EndCapture), raises at most one final event, and leaves nothing open
// that the service did not refuse to release.
#include <random>

#include "hostile_pcsc/hostile_fixture.h"

namespace hostile_test {
namespace {

const char* const kOperations[] = {
    "SCardEstablishContext", "SCardListReadersW",   "SCardFreeMemory", "SCardGetStatusChangeW",
    "SCardConnectW",         "SCardStatusW",        "SCardListCardsW", "SCardGetCardTypeProviderNameW",
    "SCardDisconnect",       "SCardReleaseContext",
};

struct Hostile {
    DWORD mode;
    DWORD parameter;
};
const Hostile kHostile[] = {
    {SIM_HOSTILE_CUT_TAIL, 1},       {SIM_HOSTILE_CUT_TAIL, 2},
    {SIM_HOSTILE_CUT_TAIL, 7},       {SIM_HOSTILE_LENGTH_SHORT, 1},
    {SIM_HOSTILE_LENGTH_SHORT, 3},   {SIM_HOSTILE_LENGTH_LONG, 100},
    {SIM_HOSTILE_NULL_ANSWER, 0},    {SIM_HOSTILE_ANSWER_AND_FAIL, static_cast<DWORD>(SCARD_E_NO_MEMORY)},
    {SIM_HOSTILE_WAIT_NO_CHANGE, 0}, {SIM_HOSTILE_WAIT_CHANGED_FLAG, 0},
    {SIM_HOSTILE_ATR_LENGTH, 0},     {SIM_HOSTILE_ATR_LENGTH, 40},
    {SIM_HOSTILE_ZERO_HANDLE, 0},
};

const LONG kConnectResults[] = {SCARD_S_SUCCESS,           SCARD_S_SUCCESS,          SCARD_W_REMOVED_CARD,
                                SCARD_W_UNRESPONSIVE_CARD, SCARD_W_UNSUPPORTED_CARD, SCARD_W_RESET_CARD,
                                SCARD_E_SHARING_VIOLATION, SCARD_E_CANCELLED};

// Failed status ids a capture may end with; E_OUTOFMEMORY stands in for one.
bool KnownFailure(const std::wstring& event)
{
    for (const wchar_t* id : {L"208", L"210", L"211", L"212", L"213", L"214", L"215", L"216", L"218", L"-2147024882"}) {
        if (event == std::wstring(L"Failed ") + id) return true;
    }
    return false;
}

// At most one final event (DataReady or Failed), which ends the list except
// for the notice that follows an unknown card type.
::testing::AssertionResult WellFormed(const Events& events)
{
    for (size_t i = 0; i < events.size(); ++i) {
        const std::wstring& e = events[i];
        const bool final = e.starts_with(L"DataReady") || e.starts_with(L"Failed");
        if (e.starts_with(L"Failed") && !KnownFailure(e)) return ::testing::AssertionFailure() << "unknown failure";
        if (!final) continue;
        const bool last = i + 1 == events.size();
        const bool noticeFollows = i + 2 == events.size() && e == L"Failed 210" &&
                                   events[i + 1] == L"StatusChanged 0x80DE";
        if (!last && !noticeFollows) return ::testing::AssertionFailure() << "events after the final one";
    }
    return ::testing::AssertionSuccess();
}

TEST_F(HostileTest, RandomCardsAndFaultsNeverHangLeakOrRaiseTwice)
{
    const unsigned seed = quorvex::test::StressSeed(20240917);
    std::mt19937 random(seed);
    const auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
    const std::vector<BYTE>* const atrs[] = {&kAtrAlpha, &kAtrBeta, &kAtrNoCsp, &kAtrUnknown, &kAtrLong, &kAtrGamma};
    const size_t cycles = quorvex::test::StressCount(50, 2000);
    const quorvex::test::StressBudget budget(std::chrono::seconds(8), std::chrono::seconds(480));

    size_t run = 0, dataReady = 0, failed = 0, stopped = 0;
    for (; run < cycles && !budget.Expired(); ++run) {
        SCOPED_TRACE("cycle " + std::to_string(run) + ", seed " + std::to_string(seed));
        const size_t readers = 1 + pick(4);
        for (size_t i = 0; i < readers; ++i) SimAddReader((L"Reader " + std::to_wstring(i)).c_str());

        // One kind of fault per cycle, armed on the enumeration, the capture, both or neither.
        const char* const operation = kOperations[pick(std::size(kOperations))];
        const bool hostile = pick(2) == 0;
        const Hostile shape = kHostile[pick(std::size(kHostile))];
        const LONG code = kEveryError[pick(kEveryError.size())].value;
        // Each refused release may leave one object in the service.
        const std::string name = operation;
        const bool releases = name == "SCardReleaseContext" || name == "SCardDisconnect" || name == "SCardFreeMemory";
        DWORD mayBeLeft = 0;
        const auto arm = [&] {
            if (hostile) {
                SimSetHostile(operation, shape.mode, shape.parameter, 1 + static_cast<DWORD>(pick(3)));
            } else {
                const DWORD count = 1 + static_cast<DWORD>(pick(2));
                SimInjectResult(operation, code, count);
                if (releases) mayBeLeft += count;
            }
        };
        if (pick(4) == 0) arm();
        LONG count = 0, rc = -1;
        plugin->GetDeviceCount(nullptr, nullptr, &count);
        plugin->OpenDevice(nullptr, &rc);
        SimInjectResult(operation, 0, 0);
        SimSetHostile(operation, SIM_HOSTILE_NONE, 0, 0);
        if (pick(3) != 0) arm();

        const std::wstring reader = L"Reader " + std::to_wstring(pick(readers));
        const std::vector<BYTE>& atr = *atrs[pick(std::size(atrs))];
        const bool early = pick(2) == 0;
        const auto insert = [&] {
            scardsim::InsertCard(reader.c_str(), atr, pick(8) == 0 ? SIM_CARD_MUTE : 0);
            SimSetCardConnectResult(reader.c_str(), kConnectResults[pick(std::size(kConnectResults))]);
        };
        if (early) insert();
        EXPECT_EQ(0, StartCapture());
        if (!early) {
            SimWaitForPendingWaits(1, static_cast<DWORD>(pick(150)));
            insert();
        }
        if (pick(3) == 0) SimRemoveCard(reader.c_str());
        WaitUntil([&] { return !object().capturing(); }, static_cast<DWORD>(50 + pick(250)));
        const bool endedByItself = !object().capturing();
        EXPECT_EQ(0, EndCapture());
        EXPECT_EQ(0u, SimCallCount("SCardCancel")) << "the worker missed its stop";

        const Events events = WorkerEvents();
        EXPECT_TRUE(WellFormed(events));
        const auto any = [&](const wchar_t* kind) {
            return std::any_of(events.begin(), events.end(),
                               [&](const std::wstring& e) { return e.starts_with(kind); });
        };
        dataReady += any(L"DataReady");
        failed += any(L"Failed");
        stopped += !endedByItself;

        // Only refused releases keep their objects; nothing else stays open.
        const Leftovers left = ServiceLeftovers();
        EXPECT_LE(left.contexts + left.handles + left.buffers, mayBeLeft);
        SimInjectResult(operation, 0, 0);
        SimSetHostile(operation, SIM_HOSTILE_NONE, 0, 0);
        if (left == Leftovers{}) {
            for (size_t i = 0; i < readers; ++i) SimRemoveReader((L"Reader " + std::to_wstring(i)).c_str());
            sink->ClearCalls();
        } else {
            ForgetRefused();
            Renew();  // a clean service and a new object
        }
    }
    ReportCases("random capture cycles", run, std::to_string(seed).c_str());
    std::printf("[ figures  ] %zu DataReady, %zu Failed, %zu stopped by EndCapture\n", dataReady, failed, stopped);
}

}  // namespace
}  // namespace hostile_test
