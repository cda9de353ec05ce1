// Card connections: protocol negotiation, connect failures, status, disconnect.
#include <optional>

#include "sim_test_util.h"

using namespace scardsim_test;

namespace {

class Connection : public SimulatedServiceTest {
 protected:
  void SetUp() override {
    SimulatedServiceTest::SetUp();
    ASSERT_TRUE(SimAddReader(L"Slot"));
    context_.emplace();
  }
  LONG Connect(DWORD share, DWORD protocols, SCARDHANDLE& card, DWORD& protocol) {
    return SCardConnectW(context_->get(), L"Slot", share, protocols, &card, &protocol);
  }
  // Made after the base SetUp (whose reset would forget it) and released
  // before the base TearDown checks for leaks.
  void TearDown() override {
    context_.reset();
    SimulatedServiceTest::TearDown();
  }
  std::optional<ScopedContext> context_;
};

TEST_F(Connection, NegotiatesT1WhenTheCardOffersBothAndT0ForAT0Card) {
  struct Case {
    const std::vector<BYTE>& atr;
    DWORD expected;
  } cases[] = {{kDualAtr, SCARD_PROTOCOL_T1}, {kT0Atr, SCARD_PROTOCOL_T0}, {kT1Atr, SCARD_PROTOCOL_T1}};
  for (const Case& c : cases) {
    ASSERT_TRUE(scardsim::InsertCard(L"Slot", c.atr));
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    ASSERT_EQ(Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, card, protocol), SCARD_S_SUCCESS);
    EXPECT_EQ(protocol, c.expected);
    EXPECT_EQ(SimOpenCardHandles(), 1u);
    EXPECT_EQ(SCardDisconnect(card, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
    ASSERT_TRUE(SimRemoveCard(L"Slot"));
  }
  ASSERT_TRUE(scardsim::InsertCard(L"Slot", kT0Atr));
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  EXPECT_EQ(Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, card, protocol), SCARD_E_PROTO_MISMATCH);
}

TEST_F(Connection, FailuresLeaveNoHandle) {
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  EXPECT_EQ(SCardConnectW(context_->get(), L"Elsewhere", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &protocol),
            SCARD_E_UNKNOWN_READER);
  EXPECT_EQ(Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, card, protocol), SCARD_E_NO_SMARTCARD);
  ASSERT_TRUE(scardsim::InsertCard(L"Slot", kDualAtr, SIM_CARD_MUTE));
  EXPECT_EQ(Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, card, protocol), SCARD_W_UNRESPONSIVE_CARD);
  EXPECT_EQ(SCardConnectW(0x1234, L"Slot", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &protocol),
            SCARD_E_INVALID_HANDLE);
  EXPECT_EQ(SimOpenCardHandles(), 0u);
}

TEST_F(Connection, ConnectResultOverrideHoldsUntilTheCardIsRemoved) {
  ASSERT_TRUE(scardsim::InsertCard(L"Slot", kDualAtr));
  ASSERT_TRUE(SimSetCardConnectResult(L"Slot", SCARD_W_RESET_CARD));
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  EXPECT_EQ(Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, card, protocol), SCARD_W_RESET_CARD);
  EXPECT_EQ(Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, card, protocol), SCARD_W_RESET_CARD);
  ASSERT_TRUE(SimRemoveCard(L"Slot"));
  ASSERT_TRUE(scardsim::InsertCard(L"Slot", kDualAtr));
  ASSERT_EQ(Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, card, protocol), SCARD_S_SUCCESS);
  EXPECT_EQ(SCardDisconnect(card, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
  ASSERT_TRUE(SimRemoveCard(L"Slot"));
  EXPECT_FALSE(SimSetCardConnectResult(L"Slot", SCARD_W_RESET_CARD)) << "no card, nothing to override";
}

TEST_F(Connection, ExclusiveAndSharedExcludeEachOther) {
  ASSERT_TRUE(scardsim::InsertCard(L"Slot", kDualAtr));
  SCARDHANDLE shared = 0, second = 0;
  DWORD protocol = 0;
  ASSERT_EQ(Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, shared, protocol), SCARD_S_SUCCESS);
  ASSERT_EQ(Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, second, protocol), SCARD_S_SUCCESS);
  EXPECT_EQ(Connect(SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T1, second, protocol), SCARD_E_SHARING_VIOLATION);
  EXPECT_EQ(SCardDisconnect(shared, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
  EXPECT_EQ(SCardDisconnect(second, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
  EXPECT_EQ(SCardDisconnect(second, SCARD_LEAVE_CARD), SCARD_E_INVALID_HANDLE);
}

TEST_F(Connection, StatusGivesAtrStateProtocolAndAutoAllocatedReaderName) {
  ASSERT_TRUE(scardsim::InsertCard(L"Slot", kDualAtr));
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  ASSERT_EQ(Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, card, protocol), SCARD_S_SUCCESS);

  LPWSTR name = nullptr;
  DWORD nameLength = SCARD_AUTOALLOCATE;
  DWORD state = 0, active = 0;
  BYTE atr[32];
  DWORD atrLength = sizeof atr;
  ASSERT_EQ(SCardStatusW(card, reinterpret_cast<LPWSTR>(&name), &nameLength, &state, &active, atr, &atrLength),
            SCARD_S_SUCCESS);
  EXPECT_STREQ(name, L"Slot");
  EXPECT_EQ(nameLength, 6u);
  EXPECT_EQ(state, DWORD{SCARD_SPECIFIC});
  EXPECT_EQ(active, DWORD{SCARD_PROTOCOL_T1});
  EXPECT_EQ(std::vector<BYTE>(atr, atr + atrLength), kDualAtr);
  EXPECT_EQ(SCardFreeMemory(context_->get(), name), SCARD_S_SUCCESS);

  // Too small an ATR buffer: the required length, and no buffer allocated.
  atrLength = 4;
  nameLength = SCARD_AUTOALLOCATE;
  EXPECT_EQ(SCardStatusW(card, reinterpret_cast<LPWSTR>(&name), &nameLength, &state, &active, atr, &atrLength),
            SCARD_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(atrLength, kDualAtr.size());
  EXPECT_EQ(SimUnfreedBuffers(), 0u);
  EXPECT_EQ(SCardDisconnect(card, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
}

TEST_F(Connection, RemovedOrResetCardIsReportedOnTheOldHandle) {
  ASSERT_TRUE(scardsim::InsertCard(L"Slot", kDualAtr));
  SCARDHANDLE first = 0, second = 0;
  DWORD protocol = 0;
  ASSERT_EQ(Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, first, protocol), SCARD_S_SUCCESS);
  ASSERT_EQ(Connect(SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, second, protocol), SCARD_S_SUCCESS);
  EXPECT_EQ(SCardDisconnect(first, SCARD_RESET_CARD), SCARD_S_SUCCESS);
  EXPECT_EQ(SCardStatusW(second, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), SCARD_W_RESET_CARD);
  ASSERT_TRUE(SimRemoveCard(L"Slot"));
  ASSERT_TRUE(scardsim::InsertCard(L"Slot", kDualAtr));
  EXPECT_EQ(SCardStatusW(second, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), SCARD_W_REMOVED_CARD)
      << "a new card in the reader is not the connected one";
  EXPECT_EQ(SCardDisconnect(second, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
}

TEST_F(Connection, ReleasingTheContextDropsButStillCountsAForgottenConnection) {
  ASSERT_TRUE(scardsim::InsertCard(L"Slot", kDualAtr));
  SCARDCONTEXT context = 0;
  ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_S_SUCCESS);
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  ASSERT_EQ(SCardConnectW(context, L"Slot", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &protocol),
            SCARD_S_SUCCESS);
  ASSERT_EQ(SCardReleaseContext(context), SCARD_S_SUCCESS);
  EXPECT_EQ(SCardStatusW(card, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), SCARD_E_INVALID_HANDLE);
  EXPECT_EQ(SimOpenCardHandles(), 1u) << "the leak stays visible";
  SimReset();  // the fixture's leak check would fail otherwise
}

}  // namespace
