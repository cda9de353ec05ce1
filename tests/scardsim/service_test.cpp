// Contexts, service states, reader lists, the card database, injected
// results, delays and call accounting.
#include <chrono>

#include "sim_test_util.h"

using namespace scardsim_test;

namespace {

class Service : public SimWithContext {
protected:
    std::vector<std::wstring> ListCards(const std::vector<BYTE>& atr)
    {
        LPWSTR list = nullptr;
        DWORD length = SCARD_AUTOALLOCATE;
        EXPECT_EQ(SCardListCardsW(context_, atr.data(), nullptr, 0, reinterpret_cast<LPWSTR>(&list), &length),
                  SCARD_S_SUCCESS);
        if (!list) return {L"(no list)"};
        std::vector<std::wstring> names = SplitMultiString(list, length);
        EXPECT_EQ(SCardFreeMemory(context_, list), SCARD_S_SUCCESS);
        return names;
    }
};

TEST_F(Service, ContextsFollowTheServiceStateAndReset)
{
    SCARDCONTEXT context = 0;
    SimSetServiceState(SIM_SERVICE_NOT_RUNNING);
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_E_NO_SERVICE);
    SimSetServiceState(SIM_SERVICE_STOPPED);
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_E_SERVICE_STOPPED);
    EXPECT_EQ(SimOpenContexts(), 1u) << "only the fixture's";

    SimSetServiceState(SIM_SERVICE_RUNNING);
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_S_SUCCESS);
    EXPECT_EQ(SimOpenContexts(), 2u);
    EXPECT_EQ(SCardReleaseContext(context), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardReleaseContext(context), SCARD_E_INVALID_HANDLE);

    SimReset();
    EXPECT_EQ(SimOpenContexts(), 0u);
    EXPECT_EQ(SCardIsValidContext(context_), SCARD_E_INVALID_HANDLE) << "a reset invalidates contexts";
}

TEST_F(Service, AutoAllocatedReaderListHoldsAllReadersInOrderAndIsFreedOnce)
{
    LPWSTR list = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    EXPECT_EQ(SCardListReadersW(context_, nullptr, reinterpret_cast<LPWSTR>(&list), &length),
              SCARD_E_NO_READERS_AVAILABLE);
    EXPECT_EQ(list, nullptr);

    ASSERT_TRUE(SimAddReader(L"Reader A"));
    ASSERT_TRUE(SimAddReader(L"Reader B 0"));
    EXPECT_FALSE(SimAddReader(L"reader a")) << "names compare without case";
    length = SCARD_AUTOALLOCATE;
    ASSERT_EQ(SCardListReadersW(context_, nullptr, reinterpret_cast<LPWSTR>(&list), &length), SCARD_S_SUCCESS);
    EXPECT_EQ(SplitMultiString(list, length), (std::vector<std::wstring>{L"Reader A", L"Reader B 0"}));
    EXPECT_EQ(SimUnfreedBuffers(), 1u);
    EXPECT_EQ(SCardFreeMemory(context_, list), SCARD_S_SUCCESS);
    EXPECT_EQ(SimUnfreedBuffers(), 0u);
    EXPECT_EQ(SCardFreeMemory(context_, list), SCARD_E_INVALID_PARAMETER) << "a second free is refused";
}

TEST_F(Service, CardDatabaseNamesCardsOfAnAtrInRegistrationOrderAndTheirCsp)
{
    ASSERT_TRUE(scardsim::AddCardType(L"Quorvex Demo Card B", kDualAtr, L"Quorvex Demo CSP"));
    ASSERT_TRUE(scardsim::AddCardType(L"Unrelated Card", kT0Atr, nullptr));
    ASSERT_TRUE(scardsim::AddCardType(L"Quorvex Demo Card A", kDualAtr, nullptr));
    EXPECT_FALSE(scardsim::AddCardType(L"quorvex demo card a", kT1Atr, nullptr)) << "names are unique";
    EXPECT_EQ(ListCards(kDualAtr), (std::vector<std::wstring>{L"Quorvex Demo Card B", L"Quorvex Demo Card A"}));
    EXPECT_TRUE(ListCards(kT1Atr).empty());

    // The ATR's length comes from the ATR itself, not from the caller's
    // 32-byte buffer; a registered prefix does not match a longer ATR.
    std::vector<BYTE> buffer(32, 0xEE);
    std::copy(kT0Atr.begin(), kT0Atr.end(), buffer.begin());
    EXPECT_EQ(ListCards(buffer), (std::vector<std::wstring>{L"Unrelated Card"}));
    EXPECT_TRUE(ListCards(scardsim::AtrFromHex("3B:03:14:50:00")).empty());

    LPWSTR provider = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    ASSERT_EQ(SCardGetCardTypeProviderNameW(context_, L"Quorvex Demo Card B", SCARD_PROVIDER_CSP,
                                            reinterpret_cast<LPWSTR>(&provider), &length),
              SCARD_S_SUCCESS);
    EXPECT_STREQ(provider, L"Quorvex Demo CSP");
    EXPECT_EQ(length, 17u);
    EXPECT_EQ(SCardFreeMemory(context_, provider), SCARD_S_SUCCESS);
    length = SCARD_AUTOALLOCATE;
    EXPECT_EQ(SCardGetCardTypeProviderNameW(context_, L"Unrelated Card", SCARD_PROVIDER_CSP,
                                            reinterpret_cast<LPWSTR>(&provider), &length),
              LONG{ERROR_FILE_NOT_FOUND});
    EXPECT_EQ(SCardGetCardTypeProviderNameW(context_, L"Nobody", SCARD_PROVIDER_CSP,
                                            reinterpret_cast<LPWSTR>(&provider), &length),
              SCARD_E_UNKNOWN_CARD);
}

TEST_F(Service, InjectionsAndDelaysHoldAsSetAreCountedAndEndWithAReset)
{
    SimInjectResult("SCardEstablishContext", SCARD_E_NO_MEMORY, 2);
    SCARDCONTEXT context = 0;
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_E_NO_MEMORY);
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_E_NO_MEMORY);
    EXPECT_EQ(context, 0u) << "an injected call has no effect";
    EXPECT_EQ(SimOpenContexts(), 1u) << "only the fixture's";
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_S_SUCCESS);
    EXPECT_EQ(SimCallCount("SCardEstablishContext"), 4u) << "the fixture's call and the injected ones count too";
    EXPECT_EQ(SCardReleaseContext(context), SCARD_S_SUCCESS);

    // An injected success does nothing either: no buffer, no wait.
    ASSERT_TRUE(SimAddReader(L"R"));
    SimInjectResult("SCardListReadersW", SCARD_S_SUCCESS, 1);
    LPWSTR list = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    EXPECT_EQ(SCardListReadersW(context_, nullptr, reinterpret_cast<LPWSTR>(&list), &length), SCARD_S_SUCCESS);
    EXPECT_EQ(list, nullptr);
    SimInjectResult("SCardGetStatusChangeW", SCARD_S_SUCCESS, 5);
    EXPECT_EQ(SCardGetStatusChangeW(context_, INFINITE, nullptr, 0), SCARD_S_SUCCESS);
    SimInjectResult("SCardGetStatusChangeW", 0, 0);
    EXPECT_EQ(SCardGetStatusChangeW(context_, 0, nullptr, 0), SCARD_E_TIMEOUT) << "count 0 clears";

    SimSetDelay("SCardIsValidContext", 150);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SCardIsValidContext(context_), SCARD_S_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(130));

    SimInjectResult("SCardEstablishContext", SCARD_E_NO_SERVICE, 10);
    SimReset();
    EXPECT_EQ(SimCallCount("SCardEstablishContext"), 0u);
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardReleaseContext(context), SCARD_S_SUCCESS);
}

}  // namespace
