// Injected results, delays and call accounting.
#include <chrono>

#include "sim_test_util.h"

using namespace scardsim_test;

namespace {

class Injection : public SimulatedServiceTest {};

TEST_F(Injection, NextNCallsReturnTheCodeThenNormalServiceResumes) {
  SimInjectResult("SCardEstablishContext", SCARD_E_NO_MEMORY, 2);
  SCARDCONTEXT context = 0;
  EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_E_NO_MEMORY);
  EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_E_NO_MEMORY);
  EXPECT_EQ(context, 0u) << "an injected call has no effect";
  EXPECT_EQ(SimOpenContexts(), 0u);
  ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_S_SUCCESS);
  EXPECT_EQ(SimCallCount("SCardEstablishContext"), 3u) << "injected calls are counted too";
  EXPECT_EQ(SCardReleaseContext(context), SCARD_S_SUCCESS);
}

TEST_F(Injection, InjectedSuccessShortCircuitsWithoutAllocating) {
  ASSERT_TRUE(SimAddReader(L"R"));
  ScopedContext context;
  SimInjectResult("SCardListReadersW", SCARD_S_SUCCESS, 1);
  LPWSTR list = nullptr;
  DWORD length = SCARD_AUTOALLOCATE;
  EXPECT_EQ(SCardListReadersW(context.get(), nullptr, reinterpret_cast<LPWSTR>(&list), &length), SCARD_S_SUCCESS);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(SimUnfreedBuffers(), 0u);
}

TEST_F(Injection, InjectedWaitAnswersAtOnceAndCountZeroClears) {
  ScopedContext context;
  SimInjectResult("SCardGetStatusChangeW", SCARD_S_SUCCESS, 5);
  EXPECT_EQ(SCardGetStatusChangeW(context.get(), INFINITE, nullptr, 0), SCARD_S_SUCCESS);
  SimInjectResult("SCardGetStatusChangeW", 0, 0);
  EXPECT_EQ(SCardGetStatusChangeW(context.get(), 0, nullptr, 0), SCARD_E_TIMEOUT);
  EXPECT_EQ(SimCallCount("SCardGetStatusChangeW"), 2u);
  EXPECT_EQ(SimCallCount("SCardConnectW"), 0u);
}

TEST_F(Injection, DelayHoldsTheCallBack) {
  ScopedContext context;
  SimSetDelay("SCardIsValidContext", 150);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SCardIsValidContext(context.get()), SCARD_S_SUCCESS);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(130));
}

TEST_F(Injection, ResetClearsInjectionsAndCounters) {
  SimInjectResult("SCardEstablishContext", SCARD_E_NO_SERVICE, 10);
  SCARDCONTEXT context = 0;
  EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_E_NO_SERVICE);
  SimReset();
  EXPECT_EQ(SimCallCount("SCardEstablishContext"), 0u);
  ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_S_SUCCESS);
  EXPECT_EQ(SCardReleaseContext(context), SCARD_S_SUCCESS);
}

}  // namespace
