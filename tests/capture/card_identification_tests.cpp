// Identification of a connected card: ATR -> card name -> CSP, DataReady, and
// the release of the card and the context on every way out.
#include <windows.h>
#include <winscard.h>

#include "capture/capture_fixture.h"

namespace capture_test {
namespace {

using Events = std::vector<std::wstring>;

class CardIdentificationTest : public CaptureTest {
protected:
    // One reader holding a card with the given ATR; the run is over on return.
    // `inject` names a service operation whose next call fails with `result`;
    // it is armed after the enumeration.
    void CaptureCard(const std::vector<BYTE>& atr, const char* inject = nullptr, LONG result = 0)
    {
        UseReaders({L"Reader Zero"});
        if (inject) SimInjectResult(inject, result, 1);
        ASSERT_TRUE(scardsim::InsertCard(L"Reader Zero", atr));
        ASSERT_EQ(0, StartCapture());
        WaitForWorkerEnd();
    }

    std::vector<std::string> ErrorRecords() { return LinesWith(Log(), "*** "); }
};

TEST_F(CardIdentificationTest, CardStatusFailureFailsWith216AndReleasesQuietly)
{
    OpenTestLog(3);
    CaptureCard(kAtrAlpha, "SCardStatusW", SCARD_E_COMM_DATA_LOST);

    EXPECT_EQ(Events({L"Failed 216"}), WorkerEvents());
    ASSERT_EQ(1u, ErrorRecords().size());
    EXPECT_NE(std::string::npos,
              ErrorRecords()[0].find("*** SendDataReadyEventForCurrentCard(): failed to get card status: 0x8010002F"));
    EXPECT_EQ(1u, SimCallCount("SCardDisconnect"));
    EXPECT_TRUE(LinesWith(Log(), "SCardDisconnect() return").empty());
    EXPECT_TRUE(LinesWith(Log(), "return OK").empty());
}

TEST_F(CardIdentificationTest, CardListFailureFailsWith215)
{
    OpenTestLog(1);
    CaptureCard(kAtrAlpha, "SCardListCardsW", SCARD_E_NO_MEMORY);

    EXPECT_EQ(Events({L"Failed 215"}), WorkerEvents());
    ASSERT_EQ(1u, ErrorRecords().size());
    EXPECT_NE(std::string::npos,
              ErrorRecords()[0].find("*** SendDataReadyEventForCurrentCard(): cannot enum cards: 0x80100006"));
    EXPECT_EQ(1u, SimCallCount("SCardDisconnect"));
}

TEST_F(CardIdentificationTest, UnknownAtrFailsWith210ThenSendsStatus222)
{
    OpenTestLog(1);
    CaptureCard(kAtrUnknown);

    EXPECT_EQ(Events({L"Failed 210", L"StatusChanged 0x80DE"}), WorkerEvents());
    ASSERT_EQ(1u, ErrorRecords().size());
    const std::string record = ErrorRecords()[0];
    EXPECT_EQ("*** SendDataReadyEventForCurrentCard(): unknown smart card type", record.substr(record.find("*** ")));
    EXPECT_EQ(0u, SimCallCount("SCardGetCardTypeProviderNameW"));
}

TEST_F(CardIdentificationTest, CardTypeWithoutCspFailsWith210Only)
{
    OpenTestLog(1);
    CaptureCard(kAtrNoCsp);

    EXPECT_EQ(Events({L"Failed 210"}), WorkerEvents());
    ASSERT_EQ(1u, ErrorRecords().size());
    EXPECT_NE(std::string::npos,
              ErrorRecords()[0].find("*** SendDataReadyEventForCurrentCard(): unknown smart card type: 0x"));
}

TEST_F(CardIdentificationTest, ThirtyThreeByteAtrIsIdentified)
{
    CaptureCard(LongAtr());
    EXPECT_EQ(Events({L"DataReady Long Card|Reader Zero|Long CSP"}), WorkerEvents());
}

TEST_F(CardIdentificationTest, AtrOfSeveralCardTypesNamesTheFirstAndItsCsp)
{
    const std::vector<BYTE> atr = scardsim::AtrFromHex("3B 02 14 60");
    ASSERT_TRUE(scardsim::AddCardType(L"Gamma One", atr, L"Gamma One CSP"));
    ASSERT_TRUE(scardsim::AddCardType(L"Gamma Two", atr, L"Gamma Two CSP"));
    CaptureCard(atr);
    EXPECT_EQ(Events({L"DataReady Gamma One|Reader Zero|Gamma One CSP"}), WorkerEvents());
}

TEST_F(CardIdentificationTest, SinkFailingDataReadyDoesNotStopDisconnectAndRelease)
{
    OpenTestLog(3);
    sink->FailWith(DISP_E_EXCEPTION, L"sink", L"refused");
    CaptureCard(kAtrAlpha);

    EXPECT_EQ(Events({L"DataReady Alpha Card|Reader Zero|Alpha CSP"}), WorkerEvents());
    EXPECT_EQ(1u, SimCallCount("SCardDisconnect"));
    EXPECT_EQ(2u, SimCallCount("SCardReleaseContext"));  // the enumeration's and the watch's
    EXPECT_TRUE(InOrder(Log(), {"send DataReady event", "SCardDisconnect() return: 0x0", "return OK"}));
}

TEST_F(CardIdentificationTest, SuccessfulRunRaisesOnlyDataReadyWithThreeStrings)
{
    CaptureCard(kAtrAlpha);
    const std::vector<SinkCall> calls = sink->Calls();
    size_t dataReady = 0;
    for (const SinkCall& call : calls) {
        if (call.threadId == ::GetCurrentThreadId()) continue;
        ASSERT_EQ(2, call.dispid) << Describe(call);
        ++dataReady;
        ASSERT_EQ(3u, call.types.size());
        for (VARTYPE type : call.types) EXPECT_EQ(VT_BSTR, type);
    }
    EXPECT_EQ(1u, dataReady);
}

TEST_F(CardIdentificationTest, DisconnectFailureIsOnlyRecorded)
{
    OpenTestLog(3);
    CaptureCard(kAtrAlpha, "SCardDisconnect", SCARD_E_INVALID_HANDLE);

    EXPECT_EQ(Events({L"DataReady Alpha Card|Reader Zero|Alpha CSP"}), WorkerEvents());
    ASSERT_EQ(1u, ErrorRecords().size());
    EXPECT_NE(std::string::npos,
              ErrorRecords()[0].find("*** SendDataReadyEventForCurrentCard(): failed to disconnect card: 0x80100003"));
    EXPECT_TRUE(InOrder(Log(), {"SCardDisconnect() return: 0x80100003", "failed to disconnect card",
                                "CSmartCardAuthPlugin::SendStatusChanged(0xC5)"}));
    EXPECT_TRUE(LinesWith(Log(), "return OK").empty());
    EXPECT_EQ(2u, SimCallCount("SCardReleaseContext"));  // the enumeration's and the watch's
    // The refused disconnect leaves its handle in the service; nothing more
    // can be done about it.
    EXPECT_EQ(1u, SimOpenCardHandles());
    SimReset();
}

TEST_F(CardIdentificationTest, ContextReleaseFailureIsOnlyRecorded)
{
    OpenTestLog(3);
    CaptureCard(kAtrAlpha, "SCardReleaseContext", SCARD_E_INVALID_HANDLE);

    EXPECT_EQ(Events({L"DataReady Alpha Card|Reader Zero|Alpha CSP"}), WorkerEvents());
    ASSERT_EQ(1u, ErrorRecords().size());
    const std::string record = ErrorRecords()[0];
    EXPECT_EQ("*** SendDataReadyEventForCurrentCard(): SCardReleaseContext() failed", record.substr(record.find("*** ")));
    EXPECT_TRUE(LinesWith(Log(), "return OK").empty());
    EXPECT_EQ(2u, SimCallCount("SCardReleaseContext"));  // the enumeration's and the watch's
    EXPECT_EQ(1u, SimOpenContexts());
    SimReset();
}

}  // namespace
}  // namespace capture_test
