// The card watch: from StartCapture to a connected card, which reader it
// connects to, and the wait phase after a connection warning.
#include "capture/capture_fixture.h"

namespace capture_test {
namespace {

using CardWatchTest = CaptureTest;

TEST_F(CardWatchTest, RoadOfOneCaptureDeliversDataReadyWithTraceAtLevel3)
{
    UseReaders({L"Reader Zero", L"Reader One"});
    OpenTestLog(3);
    ASSERT_EQ(0, StartCapture());
    // The first wait answers at once; the third begins once the second has
    // timed out and been logged.
    ASSERT_TRUE(WaitUntil([] { return SimCallCount("SCardGetStatusChangeW") >= 3; }));
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

TEST_F(CardWatchTest, SelectedIndexPastTheCountWatchesTheTableAndNamesTheReaderAsTheTableSpellsIt)
{
    UseReaders({L"Reader A", L"Reader B", L"Reader C", L"R3", L"R4", L"R5"});
    LONG rc = -1, count = 0;
    const quorvex::UniqueBstr name = quorvex::MakeBstr(L"R5");
    ASSERT_EQ(S_OK, plugin->OpenDevice(name.get(), &rc));
    for (const wchar_t* gone : {L"R3", L"R4", L"R5"}) ASSERT_TRUE(SimRemoveReader(gone));
    ASSERT_EQ(S_OK, plugin->GetDeviceCount(nullptr, nullptr, &count));
    ASSERT_EQ(3, count);
    ASSERT_EQ(5, object().selectedIndex());
    // The service now spells a reader differently; names compare without case.
    ASSERT_TRUE(SimRemoveReader(L"Reader C"));
    ASSERT_TRUE(SimAddReader(L"READER c"));

    ASSERT_EQ(0, StartCapture());
    ASSERT_TRUE(SimWaitForPendingWaits(1, 5000));
    ASSERT_TRUE(scardsim::InsertCard(L"READER c", kAtrAlpha));
    WaitForWorkerEnd();
    EXPECT_EQ(Events({L"DataReady Alpha Card|Reader C|Alpha CSP"}), WorkerEvents());
    EXPECT_EQ(2, object().selectedIndex());
}

TEST_F(CardWatchTest, UnresponsiveCardWarnsThenTheWaitPhaseIdentifiesAWorkingCard)
{
    UseReaders({L"Reader Zero", L"Reader One"});
    OpenTestLog(3);
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
    ASSERT_TRUE(SimSetCardConnectResult(L"Reader Zero", SCARD_W_UNRESPONSIVE_CARD));
    ASSERT_EQ(0, StartCapture());
    ASSERT_TRUE(WaitUntil([&] { return !WorkerEvents().empty(); }));
    WaitForWatchToTakeIn();
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
    EXPECT_TRUE(
        InOrder(log, {"SCardConnect() return: 0x80100066", "wait for a card to be present", "SC status has change",
                      "SC status has change", "SCardConnect() return: 0x0", "return OK"}));
    // After the phase change, quiet waits write one record each.
    EXPECT_EQ(std::string::npos, log.find("check SC status", log.find("wait for a card to be present")));
}

// Cards that arrive while the worker is inside the warning's handler are
// reported together by the first wait of the wait phase; each is connected and
// only the last attempt counts: a working card there is identified, a warning
// there gives up the earlier connection.
class SeveralNewCardsTest : public CaptureTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SeveralNewCardsTest, InOneWaitPhaseScanOnlyTheLastConnectionCounts)
{
    const bool lastWarns = GetParam();
    UseReaders({L"Reader Zero", L"Reader One", L"Reader Two"});
    ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
    ASSERT_TRUE(SimSetCardConnectResult(L"Reader Zero", SCARD_W_UNRESPONSIVE_CARD));
    sink->SetHandler([lastWarns](const SinkCall& call) {
        if (call.dispid != 1 || call.value != 0x50DB || !scardsim::InsertCard(L"Reader One", kAtrAlpha)) return;
        scardsim::InsertCard(L"Reader Two", kAtrBeta);
        if (lastWarns) SimSetCardConnectResult(L"Reader Two", SCARD_W_UNPOWERED_CARD);
    });
    ASSERT_EQ(0, StartCapture());
    if (lastWarns) {
        ASSERT_TRUE(WaitUntil([&] { return WorkerEvents().size() == 2; }));
        WaitForWatchToTakeIn();
        EXPECT_TRUE(object().capturing());
        EXPECT_EQ(0u, SimOpenCardHandles());
    } else {
        WaitForWorkerEnd();
        EXPECT_EQ(2u, SimCallCount("SCardDisconnect"));
    }
    EXPECT_EQ(Events({L"StatusChanged 0x50DB",
                      lastWarns ? L"StatusChanged 0x50DB" : L"DataReady Beta Card|Reader Two|Beta CSP"}),
              WorkerEvents());
    EXPECT_EQ(3u, SimCallCount("SCardConnectW"));
    EXPECT_EQ(2, object().selectedIndex());
}

INSTANTIATE_TEST_SUITE_P(LastCard, SeveralNewCardsTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Warns" : "Works"; });

// An empty table: OpenDevice fails but leaves slot 0 selected. Some hundred
// milliseconds hold a handful of waits, not thousands, even when the service
// answers every wait at once.
TEST_F(CardWatchTest, ZeroWatchedReadersWaitWithoutSpinningAndStop)
{
    LONG rc = 0;
    EXPECT_EQ(E_FAIL, plugin->OpenDevice(nullptr, &rc));
    ASSERT_EQ(0, object().selectedIndex());
    for (bool answersAtOnce : {false, true}) {
        if (answersAtOnce) SimInjectResult("SCardGetStatusChangeW", SCARD_S_SUCCESS, 1000000);
        const DWORD waitsBefore = SimCallCount("SCardGetStatusChangeW");
        ASSERT_EQ(0, StartCapture());
        ::Sleep(300);
        EXPECT_LT(SimCallCount("SCardGetStatusChangeW") - waitsBefore, 20u) << answersAtOnce;
        EXPECT_EQ(0, EndCapture());
        EXPECT_FALSE(object().capturing());
    }
    SimInjectResult("SCardGetStatusChangeW", 0, 0);
    EXPECT_TRUE(WorkerEvents().empty());
}

}  // namespace
}  // namespace capture_test
