// Contexts, service states, reader lists and service-allocated buffers.
#include "sim_test_util.h"

using namespace scardsim_test;

namespace {

class ServiceState : public SimulatedServiceTest {};

TEST_F(ServiceState, EstablishContextReflectsTheServiceState) {
  SCARDCONTEXT context = 0;
  SimSetServiceState(SIM_SERVICE_NOT_RUNNING);
  EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_E_NO_SERVICE);
  SimSetServiceState(SIM_SERVICE_STOPPED);
  EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_E_SERVICE_STOPPED);
  EXPECT_EQ(SimOpenContexts(), 0u);

  SimSetServiceState(SIM_SERVICE_RUNNING);
  ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_S_SUCCESS);
  EXPECT_EQ(SimOpenContexts(), 1u);
  EXPECT_EQ(SCardIsValidContext(context), SCARD_S_SUCCESS);
  EXPECT_EQ(SCardReleaseContext(context), SCARD_S_SUCCESS);
  EXPECT_EQ(SCardIsValidContext(context), SCARD_E_INVALID_HANDLE);
  EXPECT_EQ(SCardReleaseContext(context), SCARD_E_INVALID_HANDLE);
}

TEST_F(ServiceState, ResetForgetsContextsAndInvalidatesThem) {
  SCARDCONTEXT context = 0;
  ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), SCARD_S_SUCCESS);
  SimReset();
  EXPECT_EQ(SimOpenContexts(), 0u);
  EXPECT_EQ(SCardIsValidContext(context), SCARD_E_INVALID_HANDLE);
}

class ReaderList : public SimulatedServiceTest {};

TEST_F(ReaderList, NoReadersIsItsOwnError) {
  ScopedContext context;
  DWORD length = SCARD_AUTOALLOCATE;
  LPWSTR list = nullptr;
  EXPECT_EQ(SCardListReadersW(context.get(), nullptr, reinterpret_cast<LPWSTR>(&list), &length),
            SCARD_E_NO_READERS_AVAILABLE);
  EXPECT_EQ(list, nullptr);
}

TEST_F(ReaderList, AutoAllocatedListHoldsAllReadersInOrderAndMustBeFreed) {
  ASSERT_TRUE(SimAddReader(L"Reader A"));
  ASSERT_TRUE(SimAddReader(L"Reader B 0"));
  EXPECT_FALSE(SimAddReader(L"reader a")) << "names compare without case";
  ScopedContext context;
  DWORD length = SCARD_AUTOALLOCATE;
  LPWSTR list = nullptr;
  ASSERT_EQ(SCardListReadersW(context.get(), nullptr, reinterpret_cast<LPWSTR>(&list), &length), SCARD_S_SUCCESS);
  EXPECT_EQ(length, 8u + 1 + 10 + 1 + 1) << "characters including both terminating NULs";
  EXPECT_EQ(SplitMultiString(list), (std::vector<std::wstring>{L"Reader A", L"Reader B 0"}));
  EXPECT_EQ(list[length - 1], L'\0');
  EXPECT_EQ(list[length - 2], L'\0');
  EXPECT_EQ(SimUnfreedBuffers(), 1u);
  EXPECT_EQ(SCardFreeMemory(context.get(), list), SCARD_S_SUCCESS);
  EXPECT_EQ(SimUnfreedBuffers(), 0u);
  EXPECT_EQ(SCardFreeMemory(context.get(), list), SCARD_E_INVALID_PARAMETER) << "a second free is refused";
}

TEST_F(ReaderList, CallerBufferQueryAndTooSmall) {
  ASSERT_TRUE(SimAddReader(L"R1"));
  ASSERT_TRUE(SimAddReader(L"R2"));
  ScopedContext context;
  DWORD length = 0;
  ASSERT_EQ(SCardListReadersW(context.get(), nullptr, nullptr, &length), SCARD_S_SUCCESS);
  EXPECT_EQ(length, 7u);
  wchar_t buffer[16];
  DWORD small = 6;
  EXPECT_EQ(SCardListReadersW(context.get(), nullptr, buffer, &small), SCARD_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(small, 7u);
  DWORD enough = 16;
  ASSERT_EQ(SCardListReadersW(context.get(), nullptr, buffer, &enough), SCARD_S_SUCCESS);
  EXPECT_EQ(enough, 7u);
  EXPECT_EQ(SplitMultiString(buffer), (std::vector<std::wstring>{L"R1", L"R2"}));
  EXPECT_EQ(SimUnfreedBuffers(), 0u) << "caller buffers are not service buffers";
}

TEST_F(ReaderList, RemovedReaderDisappearsAndAnsiListMatches) {
  ASSERT_TRUE(SimAddReader(L"Left"));
  ASSERT_TRUE(SimAddReader(L"Right"));
  ASSERT_TRUE(SimRemoveReader(L"LEFT"));
  EXPECT_FALSE(SimRemoveReader(L"Left"));
  char buffer[16];
  DWORD length = sizeof buffer;
  ASSERT_EQ(SCardListReadersA(0, nullptr, buffer, &length), SCARD_S_SUCCESS);
  EXPECT_EQ(length, 7u);
  EXPECT_STREQ(buffer, "Right");
}

}  // namespace
