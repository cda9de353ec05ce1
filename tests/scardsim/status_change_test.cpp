// SCardGetStatusChangeW: change detection, blocking, waking, timeout, cancel.
#include <chrono>
#include <future>

#include "sim_test_util.h"

using namespace scardsim_test;
using Clock = std::chrono::steady_clock;

namespace {

// Declared after a future that runs a wait: should the wait not be woken as
// expected, the reset ends it, so that the failing test cannot hang.
struct EndWaitsOnExit {
    ~EndWaitsOnExit()
    {
        if (SimPendingWaits()) SimReset();
    }
};

class StatusChange : public SimWithContext {
protected:
    void SetUp() override
    {
        SimWithContext::SetUp();
        ASSERT_TRUE(SimAddReader(L"Reader 0"));
        ASSERT_TRUE(SimAddReader(L"Reader 1"));
    }
    std::future<LONG> WaitAsync(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATEW* records, DWORD count)
    {
        return std::async(std::launch::async, [=] { return SCardGetStatusChangeW(context, timeout, records, count); });
    }
};

TEST_F(StatusChange, UnawareRecordsAnswerAtOnceAndTheCounterRevealsASwappedCard)
{
    ASSERT_TRUE(scardsim::InsertCard(L"Reader 1", kDualAtr));
    SCARD_READERSTATEW records[] = {Record(L"Reader 0"), Record(L"Reader 1"), Record(L"No such reader")};
    ASSERT_EQ(SCardGetStatusChangeW(context_, INFINITE, records, 3), SCARD_S_SUCCESS);
    EXPECT_EQ(records[0].dwEventState, DWORD{SCARD_STATE_EMPTY | SCARD_STATE_CHANGED});
    EXPECT_EQ(records[0].cbAtr, 0u);
    EXPECT_EQ(records[1].dwEventState, MAKELONG(SCARD_STATE_PRESENT | SCARD_STATE_CHANGED, 1)) << "one insertion";
    EXPECT_EQ(Atr(records[1]), kDualAtr);
    EXPECT_EQ(records[2].dwEventState & (SCARD_STATE_UNKNOWN | SCARD_STATE_CHANGED),
              DWORD{SCARD_STATE_UNKNOWN | SCARD_STATE_CHANGED});

    // The flags read PRESENT again; only the counter tells the card was swapped.
    records[1].dwCurrentState = records[1].dwEventState;
    ASSERT_TRUE(SimRemoveCard(L"Reader 1"));
    ASSERT_TRUE(scardsim::InsertCard(L"Reader 1", kT1Atr));
    ASSERT_EQ(SCardGetStatusChangeW(context_, 0, &records[1], 1), SCARD_S_SUCCESS);
    EXPECT_EQ(records[1].dwEventState, MAKELONG(SCARD_STATE_PRESENT | SCARD_STATE_CHANGED, 3));
    // Without a counter in the caller's record the same flags are no change.
    records[1].dwCurrentState = SCARD_STATE_PRESENT;
    EXPECT_EQ(SCardGetStatusChangeW(context_, 0, &records[1], 1), SCARD_E_TIMEOUT);
}

TEST_F(StatusChange, WithoutChangeTheCallBlocksForTheTimeoutAndReaderRemovalIsAChange)
{
    SCARD_READERSTATEW records[] = {Record(L"Reader 0"), Record(L"Reader 1")};
    ASSERT_EQ(SCardGetStatusChangeW(context_, 0, records, 2), SCARD_S_SUCCESS);
    for (auto& record : records) record.dwCurrentState = record.dwEventState;
    for (DWORD count : {2u, 0u}) {
        const auto start = Clock::now();
        EXPECT_EQ(SCardGetStatusChangeW(context_, 120, count ? records : nullptr, count), SCARD_E_TIMEOUT) << count;
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(100)) << count << " records: must really block";
    }
    EXPECT_FALSE(records[0].dwEventState & SCARD_STATE_CHANGED);
    ASSERT_TRUE(SimRemoveReader(L"Reader 1"));
    ASSERT_EQ(SCardGetStatusChangeW(context_, 0, records, 2), SCARD_S_SUCCESS);
    EXPECT_EQ(records[1].dwEventState & (SCARD_STATE_UNKNOWN | SCARD_STATE_CHANGED),
              DWORD{SCARD_STATE_UNKNOWN | SCARD_STATE_CHANGED});
}

// Waits on other threads: an insertion wakes one, a cancel ends only the wait
// of its own context, a stopped service ends any.
TEST_F(StatusChange, PendingWaitsEndOnInsertionCancelOrStop)
{
    SCARDCONTEXT other = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &other), SCARD_S_SUCCESS);
    SCARD_READERSTATEW records[] = {Record(L"Reader 0", SCARD_STATE_EMPTY), Record(L"Reader 1", SCARD_STATE_EMPTY)};
    SCARD_READERSTATEW otherRecord = Record(L"Reader 0", SCARD_STATE_EMPTY);
    {
        auto wait = WaitAsync(context_, INFINITE, records, 2);
        EndWaitsOnExit end;
        ASSERT_TRUE(SimWaitForPendingWaits(1, 10000));
        ASSERT_TRUE(scardsim::InsertCard(L"Reader 1", kT0Atr));
        ASSERT_EQ(wait.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "wait not woken";
        EXPECT_EQ(wait.get(), SCARD_S_SUCCESS);
        EXPECT_EQ(records[0].dwEventState, DWORD{SCARD_STATE_EMPTY});
        EXPECT_EQ(records[1].dwEventState, MAKELONG(SCARD_STATE_PRESENT | SCARD_STATE_CHANGED, 1));
        EXPECT_EQ(Atr(records[1]), kT0Atr);
    }
    {
        auto wait = WaitAsync(context_, INFINITE, records, 1);
        auto otherWait = WaitAsync(other, 300, &otherRecord, 1);
        EndWaitsOnExit end;
        ASSERT_TRUE(SimWaitForPendingWaits(2, 10000));
        EXPECT_EQ(SCardCancel(context_), SCARD_S_SUCCESS);
        ASSERT_EQ(wait.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "wait not cancelled";
        EXPECT_EQ(wait.get(), SCARD_E_CANCELLED);
        EXPECT_EQ(otherWait.get(), SCARD_E_TIMEOUT) << "a cancel concerns its own context only";
    }
    EXPECT_EQ(SCardGetStatusChangeW(context_, 50, records, 1), SCARD_E_TIMEOUT) << "a later wait is not cancelled";
    EXPECT_EQ(SCardReleaseContext(other), SCARD_S_SUCCESS);
    auto wait = WaitAsync(context_, INFINITE, records, 1);
    EndWaitsOnExit end;
    ASSERT_TRUE(SimWaitForPendingWaits(1, 10000));
    SimSetServiceState(SIM_SERVICE_STOPPED);
    ASSERT_EQ(wait.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(wait.get(), SCARD_E_SERVICE_STOPPED);
}

}  // namespace
