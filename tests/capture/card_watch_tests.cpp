// The card watch: from StartCapture to a connected card, with the warnings,
// failures and quiet ends of the connection and the wait.
#include <windows.h>
#include <winscard.h>

#include <ostream>

#include "capture/capture_fixture.h"

namespace capture_test {
namespace {

using Events = std::vector<std::wstring>;

class CardWatchTest : public CaptureTest {};

TEST_F(CardWatchTest, RoadOfOneCaptureDeliversDataReadyWithTraceAtLevel3)
{
    UseReaders({L"Reader Zero", L"Reader One"});
    OpenTestLog(3);
    ASSERT_EQ(0, StartCapture());
    // Long enough for quiet waits that time out.
    ::Sleep(250);
    ASSERT_TRUE(scardsim::InsertCard(L"Reader One", kAtrAlpha));
    WaitForWorkerEnd();

    EXPECT_EQ(Events({L"StatusChanged 0x20CC"}), HostEvents());
    EXPECT_EQ(Events({L"DataReady Alpha Card|Reader One|Alpha CSP"}), WorkerEvents());
    EXPECT_EQ(1, object().selectedIndex());
    EXPECT_EQ(1u, SimCallCount("SCardConnectW"));
    EXPECT_EQ(1u, SimCallCount("SCardDisconnect"));
    EXPECT_EQ(0u, SimCallCount("SCardCancel"));

    const std::string log = Log();
    EXPECT_TRUE(InOrder(log, {
        "SmartCardAuthPlugin.cpp:",
        "CSmartCardAuthPlugin::SendDataReadyEventForCurrentCard() ---->",
        "selected reader: 0, # of reader: 2",
        "check SC status",
        "SCardGetStatusChange() return: 0x0",
        "SCardConnect() return: 0x0",
        "------------------------------",
        "found a card in reader",
        "SCardStatus() return: 0x0",
        "SCardListCards() return: 0x0",
        "SCardGetCardTypeProviderName() return: 0x0",
        "CSmartCardAuthPlugin::SendStatusChanged(0xC5)",
        "send DataReady event",
        "SCardDisconnect() return: 0x0",
        "CSmartCardAuthPlugin::SendStatusChanged(0xC5)",
        "<---- CSmartCardAuthPlugin::SendDataReadyEventForCurrentCard() return OK",
    }));
    // Quiet waits before the card came: two records per wait.
    EXPECT_TRUE(InOrder(log, {"check SC status", "SCardGetStatusChange() return: 0x8010000A", "check SC status"}));
    for (const std::string& line : LinesWith(log, "SCardConnect() return")) {
        EXPECT_NE(std::string::npos, line.find("SmartCardAuthPlugin.cpp:")) << line;
    }
    // The separator is a plain record: no source position.
    const auto separators = LinesWith(log, "------------------------------");
    ASSERT_EQ(1u, separators.size());
    EXPECT_EQ(std::string::npos, separators[0].find(".cpp:")) << separators[0];
    EXPECT_EQ(1u, LinesWith(log, "return OK").size());
    EXPECT_TRUE(LinesWith(log, "*** ").empty()) << log;
    EXPECT_TRUE(LinesWith(log, "wait for a card to be present").empty());
}

TEST_F(CardWatchTest, CardPresentAtStartIsFoundByTheFirstWait)
{
    UseReaders({L"Reader Zero"});
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrBeta));
    ASSERT_EQ(0, StartCapture());
    WaitForWorkerEnd();

    EXPECT_EQ(Events({L"DataReady Beta Card|Reader Zero|Beta CSP"}), WorkerEvents());
    EXPECT_EQ(1u, SimCallCount("SCardGetStatusChangeW"));
}

TEST_F(CardWatchTest, CardInThirdReaderSelectsItAndNamesItAsTheTableSpellsIt)
{
    UseReaders({L"Reader A", L"Reader B", L"Reader C"});
    // The service now spells the reader differently; names compare without case.
    ASSERT_TRUE(SimRemoveReader(L"Reader C"));
    ASSERT_TRUE(SimAddReader(L"READER c"));
    ASSERT_EQ(0, StartCapture());
    ASSERT_TRUE(SimWaitForPendingWaits(1, 5000));
    ASSERT_TRUE(scardsim::InsertCard(L"READER c", kAtrAlpha));
    WaitForWorkerEnd();

    EXPECT_EQ(Events({L"DataReady Alpha Card|Reader C|Alpha CSP"}), WorkerEvents());
    EXPECT_EQ(2, object().selectedIndex());
}

TEST_F(CardWatchTest, SelectedIndexPastTheCountStillWatchesTheStoredReaders)
{
    UseReaders({L"R0", L"R1", L"R2", L"R3", L"R4", L"R5"});
    LONG rc = -1;
    const quorvex::UniqueBstr name = quorvex::MakeBstr(L"R5");
    ASSERT_EQ(S_OK, plugin->OpenDevice(name.get(), &rc));
    for (const wchar_t* gone : {L"R2", L"R3", L"R4", L"R5"}) ASSERT_TRUE(SimRemoveReader(gone));
    LONG count = 0;
    ASSERT_EQ(S_OK, plugin->GetDeviceCount(nullptr, nullptr, &count));
    ASSERT_EQ(2, count);
    ASSERT_EQ(5, object().selectedIndex());

    ASSERT_EQ(0, StartCapture());
    ASSERT_TRUE(SimWaitForPendingWaits(1, 5000));
    ASSERT_TRUE(scardsim::InsertCard(L"R1", kAtrAlpha));
    WaitForWorkerEnd();

    EXPECT_EQ(Events({L"DataReady Alpha Card|R1|Alpha CSP"}), WorkerEvents());
    EXPECT_EQ(1, object().selectedIndex());
}

TEST_F(CardWatchTest, MuteCardIsNeverConnected)
{
    UseReaders({L"Reader Zero", L"Reader One"});
    ASSERT_EQ(0, StartCapture());
    ASSERT_TRUE(SimWaitForPendingWaits(1, 5000));
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha, SIM_CARD_MUTE));
    WaitForWatchToTakeIn();
    EXPECT_EQ(0u, SimCallCount("SCardConnectW"));
    EXPECT_TRUE(object().capturing());

    ASSERT_TRUE(scardsim::InsertCard(L"Reader One", kAtrAlpha));
    WaitForWorkerEnd();
    EXPECT_EQ(Events({L"DataReady Alpha Card|Reader One|Alpha CSP"}), WorkerEvents());
    EXPECT_EQ(1u, SimCallCount("SCardConnectW"));
}

TEST_F(CardWatchTest, UnresponsiveCardWarnsThenTheWaitPhaseIdentifiesAWorkingCard)
{
    UseReaders({L"Reader Zero", L"Reader One"});
    OpenTestLog(3);
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
    ASSERT_TRUE(SimSetCardConnectResult(L"Reader Zero", SCARD_W_UNRESPONSIVE_CARD));
    ASSERT_EQ(0, StartCapture());
    ASSERT_TRUE(WaitForWorkerEvents(1));
    WaitForWatchToTakeIn();
    EXPECT_EQ(Events({L"StatusChanged 0x50DB"}), WorkerEvents());

    // Taking the card out is a change without a new card: the watch goes on.
    ASSERT_TRUE(SimRemoveCard(L"Reader Zero"));
    WaitForWatchToTakeIn();
    EXPECT_TRUE(object().capturing());
    EXPECT_EQ(1u, SimCallCount("SCardConnectW"));

    ASSERT_TRUE(scardsim::InsertCard(L"Reader One", kAtrBeta));
    WaitForWorkerEnd();
    EXPECT_EQ(Events({L"StatusChanged 0x50DB", L"DataReady Beta Card|Reader One|Beta CSP"}), WorkerEvents());

    const std::string log = Log();
    EXPECT_EQ(1u, LinesWith(log, "wait for a card to be present").size());
    EXPECT_TRUE(InOrder(log, {"SCardConnect() return: 0x80100066", "wait for a card to be present",
                              "SC status has change", "SC status has change", "SCardConnect() return: 0x0",
                              "return OK"}));
    // After the phase change, quiet waits write one record each.
    const size_t afterPhase = log.find("wait for a card to be present");
    EXPECT_EQ(std::string::npos, log.find("check SC status", afterPhase));
}

struct WarningCase {
    LONG connectResult;
    const wchar_t* event;
};

void PrintTo(const WarningCase& c, std::ostream* os) { *os << "connect result 0x" << std::hex << c.connectResult; }

class ConnectionWarningTest : public CaptureTest, public ::testing::WithParamInterface<WarningCase> {};

TEST_P(ConnectionWarningTest, WarnsAndKeepsWatching)
{
    UseReaders({L"Reader Zero"});
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
    ASSERT_TRUE(SimSetCardConnectResult(L"Reader Zero", GetParam().connectResult));
    ASSERT_EQ(0, StartCapture());
    ASSERT_TRUE(WaitForWorkerEvents(1));
    WaitForWatchToTakeIn();
    EXPECT_TRUE(object().capturing());
    EXPECT_EQ(Events({GetParam().event}), WorkerEvents());

    EXPECT_EQ(0, EndCapture());
    EXPECT_EQ(Events({GetParam().event}), WorkerEvents());
}

INSTANTIATE_TEST_SUITE_P(Warnings, ConnectionWarningTest,
                         ::testing::Values(WarningCase{SCARD_W_REMOVED_CARD, L"StatusChanged 0x20D1"},
                                           WarningCase{SCARD_W_UNRESPONSIVE_CARD, L"StatusChanged 0x50DB"},
                                           WarningCase{SCARD_W_UNPOWERED_CARD, L"StatusChanged 0x50DB"},
                                           WarningCase{SCARD_W_UNSUPPORTED_CARD, L"StatusChanged 0x50DC"}));

class QuietConnectionResultTest : public CaptureTest, public ::testing::WithParamInterface<LONG> {};

TEST_P(QuietConnectionResultTest, EndsTheRunWithoutEventOrErrorRecord)
{
    UseReaders({L"Reader Zero"});
    OpenTestLog(1);
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
    ASSERT_TRUE(SimSetCardConnectResult(L"Reader Zero", GetParam()));
    ASSERT_EQ(0, StartCapture());
    WaitForWorkerEnd();

    EXPECT_TRUE(WorkerEvents().empty());
    EXPECT_EQ(1u, SimCallCount("SCardConnectW"));
    EXPECT_TRUE(LinesWith(Log(), "*** ").empty()) << Log();
}

INSTANTIATE_TEST_SUITE_P(QuietEnds, QuietConnectionResultTest,
                         ::testing::Values(SCARD_E_CANCELLED, SCARD_E_SYSTEM_CANCELLED, SCARD_P_SHUTDOWN,
                                           SCARD_E_SERVICE_STOPPED, SCARD_W_CANCELLED_BY_USER));

TEST_F(CardWatchTest, ResetCardInTheCheckPhaseFailsWithTheErrorText)
{
    UseReaders({L"Reader Zero"});
    OpenTestLog(1);
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
    ASSERT_TRUE(SimSetCardConnectResult(L"Reader Zero", SCARD_W_RESET_CARD));
    ASSERT_EQ(0, StartCapture());
    WaitForWorkerEnd();

    EXPECT_EQ(Events({L"Failed 213"}), WorkerEvents());
    const auto records = LinesWith(Log(), "*** SendDataReadyEventForCurrentCard(): SCardConnect() return unknown error: 0x80100068 [");
    ASSERT_EQ(1u, records.size()) << Log();
    EXPECT_EQ(']', records[0].back());
}

TEST_F(CardWatchTest, UnknownConnectionErrorInTheWaitPhaseFailsWithoutErrorText)
{
    UseReaders({L"Reader Zero", L"Reader One"});
    OpenTestLog(1);
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
    ASSERT_TRUE(SimSetCardConnectResult(L"Reader Zero", SCARD_W_UNSUPPORTED_CARD));
    ASSERT_EQ(0, StartCapture());
    ASSERT_TRUE(WaitForWorkerEvents(1));
    WaitForWatchToTakeIn();
    ASSERT_TRUE(scardsim::InsertCard(L"Reader One", kAtrAlpha));
    ASSERT_TRUE(SimSetCardConnectResult(L"Reader One", SCARD_E_SHARING_VIOLATION));
    WaitForWorkerEnd();

    EXPECT_EQ(Events({L"StatusChanged 0x50DC", L"Failed 213"}), WorkerEvents());
    const auto records = LinesWith(Log(), "*** ");
    ASSERT_EQ(1u, records.size()) << Log();
    EXPECT_NE(std::string::npos,
              records[0].find("*** SendDataReadyEventForCurrentCard(): SCardConnect() return unknown error: 0x8010000B"));
    EXPECT_EQ('B', records[0].back()) << records[0];
}

TEST_F(CardWatchTest, WaitErrorInTheCheckPhaseRaisesFailedBeforeItsRecord)
{
    UseReaders({L"Reader Zero"});
    OpenTestLog(1);
    std::string logAtEvent;
    sink->SetHandler([&](const SinkCall& call) {
        if (call.dispid == 3) logAtEvent = Log();
    });
    SimInjectResult("SCardGetStatusChangeW", SCARD_E_SERVICE_STOPPED, 1);
    ASSERT_EQ(0, StartCapture());
    WaitForWorkerEnd();

    EXPECT_EQ(Events({L"Failed 218"}), WorkerEvents());
    const char kRecord[] = "*** SendDataReadyEventForCurrentCard(): Failed SCardGetStatusChange";
    EXPECT_TRUE(LinesWith(logAtEvent, kRecord).empty());
    EXPECT_EQ(1u, LinesWith(Log(), kRecord).size());
}

TEST_F(CardWatchTest, WaitErrorInTheWaitPhaseRaisesFailedWithoutRecord)
{
    UseReaders({L"Reader Zero"});
    OpenTestLog(1);
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
    ASSERT_TRUE(SimSetCardConnectResult(L"Reader Zero", SCARD_W_REMOVED_CARD));
    // The warning's handler arms the failure for the first wait of the next phase.
    sink->SetHandler([](const SinkCall& call) {
        if (call.dispid == 1 && call.value == 0x20D1) SimInjectResult("SCardGetStatusChangeW", SCARD_E_NO_SERVICE, 1);
    });
    ASSERT_EQ(0, StartCapture());
    WaitForWorkerEnd();

    EXPECT_EQ(Events({L"StatusChanged 0x20D1", L"Failed 218"}), WorkerEvents());
    EXPECT_TRUE(LinesWith(Log(), "*** ").empty()) << Log();
}

TEST_F(CardWatchTest, CancelledWaitEndsQuietly)
{
    UseReaders({L"Reader Zero"});
    SimInjectResult("SCardGetStatusChangeW", SCARD_E_CANCELLED, 1);
    ASSERT_EQ(0, StartCapture());
    WaitForWorkerEnd();
    EXPECT_TRUE(WorkerEvents().empty());
}

struct ContextCase {
    DWORD serviceState;
    LONG injected;  // used when the service runs
    const wchar_t* event;
    const char* record;
};

void PrintTo(const ContextCase& c, std::ostream* os)
{
    *os << "service state " << c.serviceState << ", establish result 0x" << std::hex << c.injected;
}

class WatchContextTest : public CaptureTest, public ::testing::WithParamInterface<ContextCase> {};

TEST_P(WatchContextTest, FailureToEstablishTheContextIsReported)
{
    UseReaders({L"Reader Zero"});
    OpenTestLog(1);
    SimSetServiceState(GetParam().serviceState);
    if (GetParam().injected) SimInjectResult("SCardEstablishContext", GetParam().injected, 1);
    ASSERT_EQ(0, StartCapture());
    WaitForWorkerEnd();
    SimSetServiceState(SIM_SERVICE_RUNNING);

    EXPECT_EQ(Events({GetParam().event}), WorkerEvents());
    const auto records = LinesWith(Log(), "*** ");
    ASSERT_EQ(1u, records.size()) << Log();
    const std::string& line = records[0];
    EXPECT_EQ(GetParam().record, line.substr(line.find("*** "))) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Contexts, WatchContextTest,
    ::testing::Values(
        ContextCase{SIM_SERVICE_NOT_RUNNING, 0, L"Failed 208",
                    "*** SendDataReadyEventForCurrentCard(): Smart card service error.  Most likely no card reader is "
                    "attached."},
        ContextCase{SIM_SERVICE_STOPPED, 0, L"Failed 208",
                    "*** SendDataReadyEventForCurrentCard(): Smart card service error.  Most likely no card reader is "
                    "attached."},
        ContextCase{SIM_SERVICE_RUNNING, SCARD_E_NO_MEMORY, L"Failed 214",
                    "*** SendDataReadyEventForCurrentCard(): SCardEstablishContext() return: 0x80100006"}));

TEST_F(CardWatchTest, NewCardsInOneWaitPhaseScanKeepOnlyTheLastConnection)
{
    UseReaders({L"Reader Zero", L"Reader One", L"Reader Two"});
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
    ASSERT_TRUE(SimSetCardConnectResult(L"Reader Zero", SCARD_W_UNRESPONSIVE_CARD));
    // Both cards arrive while the worker is inside the warning's handler, so
    // the first wait of the wait phase reports them together.
    sink->SetHandler([](const SinkCall& call) {
        if (call.dispid != 1 || call.value != 0x50DB) return;
        scardsim::InsertCard(L"Reader One", kAtrAlpha);
        scardsim::InsertCard(L"Reader Two", kAtrBeta);
    });
    ASSERT_EQ(0, StartCapture());
    WaitForWorkerEnd();

    EXPECT_EQ(Events({L"StatusChanged 0x50DB", L"DataReady Beta Card|Reader Two|Beta CSP"}), WorkerEvents());
    EXPECT_EQ(3u, SimCallCount("SCardConnectW"));
    EXPECT_EQ(2u, SimCallCount("SCardDisconnect"));
    EXPECT_EQ(2, object().selectedIndex());
}

TEST_F(CardWatchTest, ConnectionGivenUpWhenALaterCardOfTheSameScanWarns)
{
    UseReaders({L"Reader Zero", L"Reader One", L"Reader Two"});
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
    ASSERT_TRUE(SimSetCardConnectResult(L"Reader Zero", SCARD_W_UNRESPONSIVE_CARD));
    sink->SetHandler([](const SinkCall& call) {
        if (call.dispid != 1 || call.value != 0x50DB || !scardsim::InsertCard(L"Reader One", kAtrAlpha)) return;
        scardsim::InsertCard(L"Reader Two", kAtrBeta);
        SimSetCardConnectResult(L"Reader Two", SCARD_W_UNPOWERED_CARD);
    });
    ASSERT_EQ(0, StartCapture());
    ASSERT_TRUE(WaitForWorkerEvents(2));
    WaitForWatchToTakeIn();

    EXPECT_TRUE(object().capturing());
    EXPECT_EQ(Events({L"StatusChanged 0x50DB", L"StatusChanged 0x50DB"}), WorkerEvents());
    EXPECT_EQ(3u, SimCallCount("SCardConnectW"));
    EXPECT_EQ(0u, SimOpenCardHandles());
}

TEST_F(CardWatchTest, ZeroWatchedReadersWaitWithoutSpinningAndStop)
{
    // An empty table: OpenDevice fails but leaves slot 0 selected.
    LONG rc = 0;
    EXPECT_EQ(E_FAIL, plugin->OpenDevice(nullptr, &rc));
    ASSERT_EQ(0, object().selectedIndex());
    ASSERT_EQ(0, StartCapture());
    ::Sleep(300);
    // Some hundred milliseconds hold a handful of waits, not thousands.
    EXPECT_LT(SimCallCount("SCardGetStatusChangeW"), 20u);
    EXPECT_EQ(0, EndCapture());
    EXPECT_FALSE(object().capturing());
    EXPECT_TRUE(WorkerEvents().empty());
}

TEST_F(CardWatchTest, ZeroWatchedReadersStopEvenIfTheServiceReportsChangesAtOnce)
{
    LONG rc = 0;
    EXPECT_EQ(E_FAIL, plugin->OpenDevice(nullptr, &rc));
    SimInjectResult("SCardGetStatusChangeW", SCARD_S_SUCCESS, 1000000);
    ASSERT_EQ(0, StartCapture());
    ::Sleep(300);
    EXPECT_LT(SimCallCount("SCardGetStatusChangeW"), 20u);
    EXPECT_EQ(0, EndCapture());
    EXPECT_FALSE(object().capturing());
    SimInjectResult("SCardGetStatusChangeW", 0, 0);
    EXPECT_TRUE(WorkerEvents().empty());
}

}  // namespace
}  // namespace capture_test
