// SCardGetStatusChangeW: change detection, blocking, waking, timeout, cancel.
#include <chrono>
#include <future>
#include <thread>

#include "sim_test_util.h"

using namespace scardsim_test;
using Clock = std::chrono::steady_clock;

namespace {

// Declared after a future that runs a wait: if the wait was not woken as
// expected, the reset ends it, so that the failing test cannot hang.
class EndWaitsOnExit {
 public:
  EndWaitsOnExit() = default;
  EndWaitsOnExit(const EndWaitsOnExit&) = delete;
  EndWaitsOnExit& operator=(const EndWaitsOnExit&) = delete;
  ~EndWaitsOnExit() {
    if (SimPendingWaits()) SimReset();
  }
};

class StatusChange : public SimulatedServiceTest {
 protected:
  void SetUp() override {
    SimulatedServiceTest::SetUp();
    ASSERT_TRUE(SimAddReader(L"Reader 0"));
    ASSERT_TRUE(SimAddReader(L"Reader 1"));
  }
};

TEST_F(StatusChange, UnawareRecordsAnswerAtOnceWithStateCounterAndAtr) {
  ASSERT_TRUE(scardsim::InsertCard(L"Reader 1", kDualAtr));
  ScopedContext context;
  SCARD_READERSTATEW records[] = {Record(L"Reader 0"), Record(L"Reader 1"), Record(L"No such reader")};
  ASSERT_EQ(SCardGetStatusChangeW(context.get(), INFINITE, records, 3), SCARD_S_SUCCESS);

  EXPECT_EQ(LOWORD(records[0].dwEventState), SCARD_STATE_EMPTY | SCARD_STATE_CHANGED);
  EXPECT_EQ(HIWORD(records[0].dwEventState), 0u);
  EXPECT_EQ(records[0].cbAtr, 0u);

  EXPECT_EQ(LOWORD(records[1].dwEventState), SCARD_STATE_PRESENT | SCARD_STATE_CHANGED);
  EXPECT_EQ(HIWORD(records[1].dwEventState), 1u) << "one insertion so far";
  ASSERT_EQ(records[1].cbAtr, kDualAtr.size());
  EXPECT_EQ(std::vector<BYTE>(records[1].rgbAtr, records[1].rgbAtr + records[1].cbAtr), kDualAtr);

  EXPECT_TRUE(records[2].dwEventState & SCARD_STATE_UNKNOWN);
  EXPECT_TRUE(records[2].dwEventState & SCARD_STATE_CHANGED);
}

TEST_F(StatusChange, CurrentStateTimesOutAfterTheTimeoutWithoutChange) {
  ScopedContext context;
  SCARD_READERSTATEW records[] = {Record(L"Reader 0"), Record(L"Reader 1")};
  ASSERT_EQ(SCardGetStatusChangeW(context.get(), 0, records, 2), SCARD_S_SUCCESS);
  for (auto& record : records) record.dwCurrentState = record.dwEventState;

  const auto start = Clock::now();
  EXPECT_EQ(SCardGetStatusChangeW(context.get(), 120, records, 2), SCARD_E_TIMEOUT);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(100)) << "the call must really block";
  EXPECT_FALSE(records[0].dwEventState & SCARD_STATE_CHANGED);
  EXPECT_EQ(SCardGetStatusChangeW(context.get(), 0, records, 2), SCARD_E_TIMEOUT);
}

TEST_F(StatusChange, ZeroRecordsWaitTheTimeout) {
  ScopedContext context;
  const auto start = Clock::now();
  EXPECT_EQ(SCardGetStatusChangeW(context.get(), 100, nullptr, 0), SCARD_E_TIMEOUT);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(80));
}

TEST_F(StatusChange, InsertionFromAnotherThreadWakesAnInfiniteWait) {
  ScopedContext context;
  SCARD_READERSTATEW records[] = {Record(L"Reader 0", SCARD_STATE_EMPTY), Record(L"Reader 1", SCARD_STATE_EMPTY)};
  auto wait = std::async(std::launch::async, [&] { return SCardGetStatusChangeW(context.get(), INFINITE, records, 2); });
  EndWaitsOnExit end;
  ASSERT_TRUE(SimWaitForPendingWaits(1, 10000));
  ASSERT_TRUE(scardsim::InsertCard(L"Reader 1", kT0Atr));
  ASSERT_EQ(wait.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "wait not woken";
  EXPECT_EQ(wait.get(), SCARD_S_SUCCESS);
  EXPECT_EQ(records[0].dwEventState, DWORD{SCARD_STATE_EMPTY});
  EXPECT_EQ(records[1].dwEventState, MAKELONG(SCARD_STATE_PRESENT | SCARD_STATE_CHANGED, 1));
}

TEST_F(StatusChange, CounterInHighWordRevealsARemoveAndReinsertBetweenCalls) {
  ASSERT_TRUE(scardsim::InsertCard(L"Reader 0", kT0Atr));
  ScopedContext context;
  SCARD_READERSTATEW record = Record(L"Reader 0");
  ASSERT_EQ(SCardGetStatusChangeW(context.get(), 0, &record, 1), SCARD_S_SUCCESS);
  record.dwCurrentState = record.dwEventState;
  ASSERT_TRUE(SimRemoveCard(L"Reader 0"));
  ASSERT_TRUE(scardsim::InsertCard(L"Reader 0", kT1Atr));
  // The flags read PRESENT again; only the counter tells the card was swapped.
  ASSERT_EQ(SCardGetStatusChangeW(context.get(), 0, &record, 1), SCARD_S_SUCCESS);
  EXPECT_EQ(record.dwEventState, MAKELONG(SCARD_STATE_PRESENT | SCARD_STATE_CHANGED, 3));

  // Without a counter in the caller's record the same flags are no change.
  record.dwCurrentState = SCARD_STATE_PRESENT;
  EXPECT_EQ(SCardGetStatusChangeW(context.get(), 0, &record, 1), SCARD_E_TIMEOUT);
}

TEST_F(StatusChange, MuteCardShowsMuteWithoutAtr) {
  ASSERT_TRUE(scardsim::InsertCard(L"Reader 0", kDualAtr, SIM_CARD_MUTE));
  ScopedContext context;
  SCARD_READERSTATEW record = Record(L"Reader 0");
  ASSERT_EQ(SCardGetStatusChangeW(context.get(), 0, &record, 1), SCARD_S_SUCCESS);
  EXPECT_EQ(LOWORD(record.dwEventState), SCARD_STATE_PRESENT | SCARD_STATE_MUTE | SCARD_STATE_CHANGED);
  EXPECT_EQ(record.cbAtr, 0u);
}

TEST_F(StatusChange, ConnectionShowsInUseOrExclusive) {
  ASSERT_TRUE(scardsim::InsertCard(L"Reader 0", kDualAtr));
  ScopedContext context;
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  ASSERT_EQ(SCardConnectW(context.get(), L"Reader 0", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &protocol),
            SCARD_S_SUCCESS);
  SCARD_READERSTATEW record = Record(L"Reader 0");
  ASSERT_EQ(SCardGetStatusChangeW(context.get(), 0, &record, 1), SCARD_S_SUCCESS);
  EXPECT_EQ(LOWORD(record.dwEventState), SCARD_STATE_PRESENT | SCARD_STATE_INUSE | SCARD_STATE_CHANGED);
  EXPECT_EQ(SCardDisconnect(card, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
  ASSERT_EQ(SCardConnectW(context.get(), L"Reader 0", SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T1, &card, &protocol),
            SCARD_S_SUCCESS);
  record.dwCurrentState = record.dwEventState;
  ASSERT_EQ(SCardGetStatusChangeW(context.get(), 0, &record, 1), SCARD_S_SUCCESS);
  EXPECT_EQ(LOWORD(record.dwEventState), SCARD_STATE_PRESENT | SCARD_STATE_EXCLUSIVE | SCARD_STATE_CHANGED);
  EXPECT_EQ(SCardDisconnect(card, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
}

TEST_F(StatusChange, CancelFromAnotherThreadEndsOnlyThePendingWait) {
  ScopedContext context;
  ScopedContext other;
  SCARD_READERSTATEW records[] = {Record(L"Reader 0", SCARD_STATE_EMPTY)};
  SCARD_READERSTATEW otherRecords[] = {Record(L"Reader 0", SCARD_STATE_EMPTY)};
  auto wait = std::async(std::launch::async, [&] { return SCardGetStatusChangeW(context.get(), INFINITE, records, 1); });
  EndWaitsOnExit end;
  auto otherWait =
      std::async(std::launch::async, [&] { return SCardGetStatusChangeW(other.get(), 300, otherRecords, 1); });
  ASSERT_TRUE(SimWaitForPendingWaits(2, 10000));
  EXPECT_EQ(SCardCancel(context.get()), SCARD_S_SUCCESS);
  ASSERT_EQ(wait.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "wait not cancelled";
  EXPECT_EQ(wait.get(), SCARD_E_CANCELLED);
  EXPECT_EQ(otherWait.get(), SCARD_E_TIMEOUT) << "a cancel concerns its own context only";
  EXPECT_EQ(SCardGetStatusChangeW(context.get(), 50, records, 1), SCARD_E_TIMEOUT)
      << "a later wait is not cancelled";
  EXPECT_EQ(SimPendingWaits(), 0u);
}

TEST_F(StatusChange, StoppingTheServiceEndsAPendingWait) {
  ScopedContext context;
  SCARD_READERSTATEW records[] = {Record(L"Reader 0", SCARD_STATE_EMPTY)};
  auto wait = std::async(std::launch::async, [&] { return SCardGetStatusChangeW(context.get(), INFINITE, records, 1); });
  EndWaitsOnExit end;
  ASSERT_TRUE(SimWaitForPendingWaits(1, 10000));
  SimSetServiceState(SIM_SERVICE_STOPPED);
  ASSERT_EQ(wait.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(wait.get(), SCARD_E_SERVICE_STOPPED);
}

TEST_F(StatusChange, ReaderRemovalIsAChangeAndPnpPseudoReaderCountsReaders) {
  ScopedContext context;
  SCARD_READERSTATEW records[] = {Record(L"Reader 1", SCARD_STATE_EMPTY),
                                  Record(L"\\\\?PnP?\\Notification", MAKELONG(0, 2))};
  EXPECT_EQ(SCardGetStatusChangeW(context.get(), 0, records, 2), SCARD_E_TIMEOUT);
  ASSERT_TRUE(SimRemoveReader(L"Reader 1"));
  ASSERT_EQ(SCardGetStatusChangeW(context.get(), 0, records, 2), SCARD_S_SUCCESS);
  EXPECT_TRUE(records[0].dwEventState & SCARD_STATE_UNKNOWN);
  EXPECT_EQ(HIWORD(records[1].dwEventState), 1u);
  EXPECT_TRUE(records[1].dwEventState & SCARD_STATE_CHANGED);
}

}  // namespace
