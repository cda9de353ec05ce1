// Card connections: protocol negotiation, connect failures, sharing, status,
// disconnect, and the reader states a connection shows.
#include "sim_test_util.h"

using namespace scardsim_test;

namespace {

class Connection : public SimWithContext {
protected:
    void SetUp() override
    {
        SimWithContext::SetUp();
        ASSERT_TRUE(SimAddReader(L"Slot"));
    }
    DWORD ReaderFlags()
    {
        SCARD_READERSTATEW record = Record(L"Slot");
        EXPECT_EQ(SCardGetStatusChangeW(context_, 0, &record, 1), SCARD_S_SUCCESS);
        EXPECT_TRUE(!(record.dwEventState & SCARD_STATE_MUTE) || record.cbAtr == 0) << "a mute card has no ATR";
        return LOWORD(record.dwEventState) & ~DWORD{SCARD_STATE_CHANGED};
    }
};

TEST_F(Connection, NegotiatesT1WhenTheCardOffersBothAndShowsTheShareMode)
{
    struct Case {
        const std::vector<BYTE>& atr;
        DWORD share, protocol, state;
    } cases[] = {{kDualAtr, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_STATE_INUSE},
                 {kT0Atr, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0, SCARD_STATE_EXCLUSIVE},
                 {kT1Atr, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_STATE_INUSE}};
    for (const Case& c : cases) {
        ASSERT_TRUE(scardsim::InsertCard(L"Slot", c.atr));
        SCARDHANDLE card = 0;
        ASSERT_EQ(Connect(L"Slot", c.share, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, card), SCARD_S_SUCCESS);
        EXPECT_EQ(protocol_, c.protocol);
        EXPECT_EQ(ReaderFlags(), SCARD_STATE_PRESENT | c.state);
        EXPECT_EQ(SCardDisconnect(card, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
        ASSERT_TRUE(SimRemoveCard(L"Slot"));
    }
    ASSERT_TRUE(scardsim::InsertCard(L"Slot", kT0Atr));
    SCARDHANDLE card = 0;
    EXPECT_EQ(Connect(L"Slot", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, card), SCARD_E_PROTO_MISMATCH);
}

TEST_F(Connection, FailuresLeaveNoHandleAndAConnectOverrideHoldsUntilRemoval)
{
    SCARDHANDLE card = 0;
    EXPECT_EQ(Connect(L"Elsewhere", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, card), SCARD_E_UNKNOWN_READER);
    EXPECT_EQ(Connect(L"Slot", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, card), SCARD_E_NO_SMARTCARD);
    EXPECT_EQ(SCardConnectW(0x1234, L"Slot", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &protocol_),
              SCARD_E_INVALID_HANDLE);
    ASSERT_TRUE(scardsim::InsertCard(L"Slot", kDualAtr, SIM_CARD_MUTE));
    EXPECT_EQ(ReaderFlags(), DWORD{SCARD_STATE_PRESENT | SCARD_STATE_MUTE});
    EXPECT_EQ(Connect(L"Slot", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, card), SCARD_W_UNRESPONSIVE_CARD);
    ASSERT_TRUE(SimRemoveCard(L"Slot"));

    ASSERT_TRUE(scardsim::InsertCard(L"Slot", kDualAtr));
    ASSERT_TRUE(SimSetCardConnectResult(L"Slot", SCARD_W_RESET_CARD));
    EXPECT_EQ(Connect(L"Slot", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, card), SCARD_W_RESET_CARD);
    EXPECT_EQ(Connect(L"Slot", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, card), SCARD_W_RESET_CARD);
    ASSERT_TRUE(SimRemoveCard(L"Slot"));
    EXPECT_FALSE(SimSetCardConnectResult(L"Slot", SCARD_W_RESET_CARD)) << "no card, nothing to override";
    ASSERT_TRUE(scardsim::InsertCard(L"Slot", kDualAtr));
    ASSERT_EQ(Connect(L"Slot", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, card), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardDisconnect(card, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
}

TEST_F(Connection, StatusSharingAndAResetOrRemovedCardOnTheOtherHandle)
{
    ASSERT_TRUE(scardsim::InsertCard(L"Slot", kDualAtr));
    SCARDHANDLE first = 0, second = 0, third = 0;
    ASSERT_EQ(Connect(L"Slot", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, first), SCARD_S_SUCCESS);
    ASSERT_EQ(Connect(L"Slot", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, second), SCARD_S_SUCCESS);
    EXPECT_EQ(Connect(L"Slot", SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T1, third), SCARD_E_SHARING_VIOLATION);

    LPWSTR name = nullptr;
    DWORD nameLength = SCARD_AUTOALLOCATE, state = 0, active = 0;
    BYTE atr[32];
    DWORD atrLength = sizeof atr;
    ASSERT_EQ(SCardStatusW(first, reinterpret_cast<LPWSTR>(&name), &nameLength, &state, &active, atr, &atrLength),
              SCARD_S_SUCCESS);
    EXPECT_STREQ(name, L"Slot");
    EXPECT_EQ(nameLength, 6u);
    EXPECT_EQ(state, DWORD{SCARD_SPECIFIC});
    EXPECT_EQ(active, DWORD{SCARD_PROTOCOL_T1});
    EXPECT_EQ(std::vector<BYTE>(atr, atr + atrLength), kDualAtr);
    EXPECT_EQ(SCardFreeMemory(context_, name), SCARD_S_SUCCESS);
    // Too small an ATR buffer: the required length, and no name allocated
    // (the fixture's leak check would see it).
    atrLength = 4;
    nameLength = SCARD_AUTOALLOCATE;
    EXPECT_EQ(SCardStatusW(first, reinterpret_cast<LPWSTR>(&name), &nameLength, &state, &active, atr, &atrLength),
              SCARD_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(atrLength, kDualAtr.size());

    EXPECT_EQ(SCardDisconnect(first, SCARD_RESET_CARD), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardStatusW(second, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), SCARD_W_RESET_CARD);
    ASSERT_TRUE(SimRemoveCard(L"Slot"));
    ASSERT_TRUE(scardsim::InsertCard(L"Slot", kDualAtr));
    EXPECT_EQ(SCardStatusW(second, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), SCARD_W_REMOVED_CARD)
        << "a new card in the reader is not the connected one";
    EXPECT_EQ(SCardDisconnect(second, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardDisconnect(second, SCARD_LEAVE_CARD), SCARD_E_INVALID_HANDLE);
}

TEST_F(Connection, ReleasingTheContextDropsButStillCountsAForgottenConnection)
{
    ASSERT_TRUE(scardsim::InsertCard(L"Slot", kDualAtr));
    SCARDHANDLE card = 0;
    ASSERT_EQ(Connect(L"Slot", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, card), SCARD_S_SUCCESS);
    ASSERT_EQ(SCardReleaseContext(context_), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardStatusW(card, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(SimOpenCardHandles(), 1u) << "the leak stays visible";
    SimReset();  // the fixture's leak check would fail otherwise
}

}  // namespace
