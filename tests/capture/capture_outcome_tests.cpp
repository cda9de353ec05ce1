// How a capture ends for each result the service gives: identification, quiet
// ends, warnings that keep the watch going, and failures with their events and
// error records.
#include "capture/capture_fixture.h"

namespace capture_test {
namespace {

struct Outcome {
    const char* name;
    LONG connect = 0;              // the card's connection result
    const char* inject = nullptr;  // operation whose next call gives `injected`
    LONG injected = 0;
    DWORD service = SIM_SERVICE_RUNNING;
    const std::vector<BYTE>* atr = &kAtrAlpha;  // null: no card
    DWORD cardFlags = 0;
    HRESULT sinkResult = S_OK;
    // The card (and the injection) come only in the wait phase, after Reader
    // Zero's card has warned with SCARD_W_REMOVED_CARD.
    bool inWaitPhase = false;
    bool keepsWatching = false;
    Events events = {};
    // The one error record after "...ForCurrentCard(): "; one ending in " ["
    // goes on with the system's error text and "]".
    std::string record = {};
    bool recordAfterEvent = false;
    bool leavesServiceObject = false;  // a refused disconnect or release
};

void PrintTo(const Outcome& c, std::ostream* os) { *os << c.name; }

const Outcome kOutcomes[] = {
    {.name = "Identified", .events = {L"DataReady Alpha Card|Reader Zero|Alpha CSP"}},
    {.name = "SinkFailsDataReady",
     .atr = &kAtrBeta,
     .sinkResult = DISP_E_EXCEPTION,
     .events = {L"DataReady Beta Card|Reader Zero|Beta CSP"}},
    {.name = "ThirtyThreeByteAtr", .atr = &kAtrLong, .events = {L"DataReady Long Card|Reader Zero|Long CSP"}},
    {.name = "SeveralCardTypesNameTheFirst",
     .atr = &kAtrGamma,
     .events = {L"DataReady Gamma One|Reader Zero|Gamma One CSP"}},
    {.name = "NoService",
     .service = SIM_SERVICE_NOT_RUNNING,
     .atr = nullptr,
     .events = {L"Failed 208"},
     .record = "Smart card service error.  Most likely no card reader is attached."},
    {.name = "ServiceStopped",
     .service = SIM_SERVICE_STOPPED,
     .atr = nullptr,
     .events = {L"Failed 208"},
     .record = "Smart card service error.  Most likely no card reader is attached."},
    {.name = "ContextFails",
     .inject = "SCardEstablishContext",
     .injected = SCARD_E_NO_MEMORY,
     .atr = nullptr,
     .events = {L"Failed 214"},
     .record = "SCardEstablishContext() return: 0x80100006"},
    {.name = "WaitFails",
     .inject = "SCardGetStatusChangeW",
     .injected = SCARD_E_SERVICE_STOPPED,
     .atr = nullptr,
     .events = {L"Failed 218"},
     .record = "Failed SCardGetStatusChange",
     .recordAfterEvent = true},
    {.name = "WaitCancelled", .inject = "SCardGetStatusChangeW", .injected = SCARD_E_CANCELLED, .atr = nullptr},
    {.name = "ConnectCancelled", .connect = SCARD_E_CANCELLED},
    {.name = "ConnectSystemCancelled", .connect = SCARD_E_SYSTEM_CANCELLED},
    {.name = "ConnectShutdown", .connect = SCARD_P_SHUTDOWN},
    {.name = "ConnectServiceStopped", .connect = SCARD_E_SERVICE_STOPPED},
    {.name = "ConnectCancelledByUser", .connect = SCARD_W_CANCELLED_BY_USER},
    {.name = "MuteCardIsNeverConnected", .cardFlags = SIM_CARD_MUTE, .keepsWatching = true},
    {.name = "RemovedCard",
     .connect = SCARD_W_REMOVED_CARD,
     .keepsWatching = true,
     .events = {L"StatusChanged 0x20D1"}},
    {.name = "UnresponsiveCard",
     .connect = SCARD_W_UNRESPONSIVE_CARD,
     .keepsWatching = true,
     .events = {L"StatusChanged 0x50DB"}},
    {.name = "UnpoweredCard",
     .connect = SCARD_W_UNPOWERED_CARD,
     .keepsWatching = true,
     .events = {L"StatusChanged 0x50DB"}},
    {.name = "UnsupportedCard",
     .connect = SCARD_W_UNSUPPORTED_CARD,
     .keepsWatching = true,
     .events = {L"StatusChanged 0x50DC"}},
    {.name = "ResetCard",
     .connect = SCARD_W_RESET_CARD,
     .events = {L"Failed 213"},
     .record = "SCardConnect() return unknown error: 0x80100068 ["},
    {.name = "WaitPhaseConnectError",
     .connect = SCARD_E_SHARING_VIOLATION,
     .inWaitPhase = true,
     .events = {L"StatusChanged 0x20D1", L"Failed 213"},
     .record = "SCardConnect() return unknown error: 0x8010000B"},
    {.name = "WaitPhaseWaitFails",
     .inject = "SCardGetStatusChangeW",
     .injected = SCARD_E_NO_SERVICE,
     .atr = nullptr,
     .inWaitPhase = true,
     .events = {L"StatusChanged 0x20D1", L"Failed 218"}},
    {.name = "CardStatusFails",
     .inject = "SCardStatusW",
     .injected = SCARD_E_COMM_DATA_LOST,
     .events = {L"Failed 216"},
     .record = "failed to get card status: 0x8010002F"},
    {.name = "CardListFails",
     .inject = "SCardListCardsW",
     .injected = SCARD_E_NO_MEMORY,
     .events = {L"Failed 215"},
     .record = "cannot enum cards: 0x80100006"},
    {.name = "UnknownAtr",
     .atr = &kAtrUnknown,
     .events = {L"Failed 210", L"StatusChanged 0x80DE"},
     .record = "unknown smart card type"},
    {.name = "NoCsp", .atr = &kAtrNoCsp, .events = {L"Failed 210"}, .record = "unknown smart card type: 0x2"},
    {.name = "DisconnectFails",
     .inject = "SCardDisconnect",
     .injected = SCARD_E_INVALID_HANDLE,
     .events = {L"DataReady Alpha Card|Reader Zero|Alpha CSP"},
     .record = "failed to disconnect card: 0x80100003",
     .leavesServiceObject = true},
    {.name = "ContextReleaseFails",
     .inject = "SCardReleaseContext",
     .injected = SCARD_E_INVALID_HANDLE,
     .events = {L"DataReady Alpha Card|Reader Zero|Alpha CSP"},
     .record = "SCardReleaseContext() failed",
     .leavesServiceObject = true},
};

class CaptureOutcomeTest : public CaptureTest, public ::testing::WithParamInterface<Outcome> {
protected:
    static void Arm(const Outcome& c, const wchar_t* reader)
    {
        if (c.inject) SimInjectResult(c.inject, c.injected, 1);
        if (c.atr) scardsim::InsertCard(reader, *c.atr, c.cardFlags);
        if (c.atr && c.connect) SimSetCardConnectResult(reader, c.connect);
    }
};

TEST_P(CaptureOutcomeTest, EventsAndRecordsAreAsTheTableSays)
{
    const Outcome& c = GetParam();
    UseReaders({L"Reader Zero", L"Reader One"});
    OpenTestLog(3);
    sink->FailWith(c.sinkResult);
    std::string logAtFailed;
    sink->SetHandler([&](const SinkCall& call) {
        if (call.dispid == 3) logAtFailed = Log();
        if (c.inWaitPhase && call.dispid == 1 && call.value == 0x20D1) Arm(c, L"Reader One");
    });
    if (c.inWaitPhase) {
        ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", kAtrAlpha));
        ASSERT_TRUE(SimSetCardConnectResult(L"Reader Zero", SCARD_W_REMOVED_CARD));
    } else {
        Arm(c, L"Reader Zero");
    }
    SimSetServiceState(c.service);
    ASSERT_EQ(0, StartCapture());
    if (c.keepsWatching) {
        ASSERT_TRUE(WaitUntil([&] { return WorkerEvents().size() == c.events.size(); }));
        WaitForWatchToTakeIn();
        EXPECT_TRUE(object().capturing());
        EXPECT_EQ(0, EndCapture());
        EXPECT_EQ(c.events.size(), SimCallCount("SCardConnectW"));  // one attempt per warning
    }
    WaitForWorkerEnd();
    SimSetServiceState(SIM_SERVICE_RUNNING);

    EXPECT_EQ(c.events, WorkerEvents());
    const std::string log = Log();
    const auto records = LinesWith(log, "*** ");
    if (c.record.empty()) {
        EXPECT_TRUE(records.empty()) << log;
    } else {
        ASSERT_EQ(1u, records.size()) << log;
        const std::string want = "*** SendDataReadyEventForCurrentCard(): " + c.record;
        const std::string got = records[0].substr(records[0].find("*** "));
        if (want.ends_with(" [")) {
            EXPECT_TRUE(got.starts_with(want) && got.ends_with("]")) << got;
        } else {
            EXPECT_EQ(want, got);
        }
        // Only a failed wait in the check phase raises Failed before its record.
        if (!logAtFailed.empty()) {
            EXPECT_EQ(c.recordAfterEvent, LinesWith(logAtFailed, "*** ").empty());
        }
    }
    // A card present at start is found by the first wait: the reader states start unaware.
    if (c.atr && !c.inWaitPhase && !c.keepsWatching) {
        EXPECT_EQ(1u, SimCallCount("SCardGetStatusChangeW"));
    }
    // Only a delivered DataReady leads to the recorded disconnect, whatever the
    // sink answered; on every other way out the card is released without records.
    const bool delivered = !c.events.empty() && c.events[0].starts_with(L"DataReady");
    EXPECT_EQ(delivered, !LinesWith(log, "SCardDisconnect() return").empty());
    EXPECT_EQ(delivered && c.record.empty(), LinesWith(log, "return OK").size() == 1);
    std::vector<std::string> afterDataReady = {"send DataReady event", "SCardDisconnect() return: 0x"};
    if (!c.record.empty()) afterDataReady.push_back("*** ");
    afterDataReady.push_back("SendStatusChanged(0xC5)");
    if (delivered) {
        EXPECT_TRUE(InOrder(log, afterDataReady));
    }
    if (c.leavesServiceObject) {
        // The refused call leaves its handle in the service; nothing more can be done.
        EXPECT_EQ(1u, SimOpenCardHandles() + SimOpenContexts());
        SimReset();
    }
}

INSTANTIATE_TEST_SUITE_P(Results, CaptureOutcomeTest, ::testing::ValuesIn(kOutcomes),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace capture_test
