// The card database: card names for an ATR, provider names for a card name.
#include <optional>

#include "sim_test_util.h"

using namespace scardsim_test;

namespace {

class CardDatabase : public SimulatedServiceTest {
 protected:
  void SetUp() override {
    SimulatedServiceTest::SetUp();
    context_.emplace();
  }
  std::vector<std::wstring> ListCards(const std::vector<BYTE>& atr, LONG& result) {
    LPWSTR list = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    result = SCardListCardsW(context_->get(), atr.data(), nullptr, 0, reinterpret_cast<LPWSTR>(&list), &length);
    if (result != SCARD_S_SUCCESS) return {};
    EXPECT_GE(length, 2u);
    EXPECT_EQ(list[length - 1], L'\0');
    std::vector<std::wstring> names = SplitMultiString(list);
    EXPECT_EQ(SCardFreeMemory(context_->get(), list), SCARD_S_SUCCESS);
    return names;
  }
  // Made after the base SetUp (whose reset would forget it) and released
  // before the base TearDown checks for leaks.
  void TearDown() override {
    context_.reset();
    SimulatedServiceTest::TearDown();
  }
  std::optional<ScopedContext> context_;
};

TEST_F(CardDatabase, AtrWithSeveralCardTypesListsAllInRegistrationOrder) {
  ASSERT_TRUE(scardsim::AddCardType(L"Quorvex Demo Card B", kDualAtr, L"Quorvex Demo CSP"));
  ASSERT_TRUE(scardsim::AddCardType(L"Unrelated Card", kT0Atr, nullptr));
  ASSERT_TRUE(scardsim::AddCardType(L"Quorvex Demo Card A", kDualAtr, nullptr));
  EXPECT_FALSE(scardsim::AddCardType(L"quorvex demo card a", kT1Atr, nullptr)) << "names are unique";
  LONG result;
  EXPECT_EQ(ListCards(kDualAtr, result), (std::vector<std::wstring>{L"Quorvex Demo Card B", L"Quorvex Demo Card A"}));
  EXPECT_EQ(result, SCARD_S_SUCCESS);
}

TEST_F(CardDatabase, UnknownAtrGivesAnEmptyList) {
  ASSERT_TRUE(scardsim::AddCardType(L"Quorvex Demo Card", kDualAtr, nullptr));
  LPWSTR list = nullptr;
  DWORD length = SCARD_AUTOALLOCATE;
  ASSERT_EQ(SCardListCardsW(context_->get(), kT1Atr.data(), nullptr, 0, reinterpret_cast<LPWSTR>(&list), &length),
            SCARD_S_SUCCESS);
  EXPECT_EQ(list[0], L'\0') << "first name empty";
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(SCardFreeMemory(context_->get(), list), SCARD_S_SUCCESS);
}

TEST_F(CardDatabase, AtrLengthComesFromTheAtrItselfNotTheBuffer) {
  // The caller hands a 32-byte buffer with trailing bytes after the ATR; a
  // registered type that is a prefix of it must not match a longer ATR.
  ASSERT_TRUE(scardsim::AddCardType(L"Quorvex Demo Card", kT0Atr, nullptr));
  std::vector<BYTE> buffer(32, 0xEE);
  std::copy(kT0Atr.begin(), kT0Atr.end(), buffer.begin());
  LONG result;
  EXPECT_EQ(ListCards(buffer, result), (std::vector<std::wstring>{L"Quorvex Demo Card"}));
  std::vector<BYTE> longer = scardsim::AtrFromHex("3B:03:14:50:00");
  EXPECT_TRUE(ListCards(longer, result).empty());
}

TEST_F(CardDatabase, ProviderNameForCspAndItsAbsence) {
  ASSERT_TRUE(scardsim::AddCardType(L"With CSP", kDualAtr, L"Quorvex Demo CSP"));
  ASSERT_TRUE(scardsim::AddCardType(L"Without CSP", kT0Atr, nullptr));
  LPWSTR provider = nullptr;
  DWORD length = SCARD_AUTOALLOCATE;
  ASSERT_EQ(SCardGetCardTypeProviderNameW(context_->get(), L"With CSP", SCARD_PROVIDER_CSP,
                                          reinterpret_cast<LPWSTR>(&provider), &length),
            SCARD_S_SUCCESS);
  EXPECT_STREQ(provider, L"Quorvex Demo CSP");
  EXPECT_EQ(length, 17u);
  EXPECT_EQ(SCardFreeMemory(context_->get(), provider), SCARD_S_SUCCESS);

  length = SCARD_AUTOALLOCATE;
  EXPECT_EQ(SCardGetCardTypeProviderNameW(context_->get(), L"Without CSP", SCARD_PROVIDER_CSP,
                                          reinterpret_cast<LPWSTR>(&provider), &length),
            LONG{ERROR_FILE_NOT_FOUND});
  EXPECT_EQ(SCardGetCardTypeProviderNameW(context_->get(), L"Nobody", SCARD_PROVIDER_CSP,
                                          reinterpret_cast<LPWSTR>(&provider), &length),
            SCARD_E_UNKNOWN_CARD);
  EXPECT_EQ(SimUnfreedBuffers(), 0u);
}

TEST_F(CardDatabase, IntroducedTypeWithMaskAndLaterCsp) {
  const std::vector<BYTE> mask = scardsim::AtrFromHex("FF:FF:FF:00");
  ASSERT_EQ(SCardIntroduceCardTypeW(context_->get(), L"Masked", nullptr, nullptr, 0, kT0Atr.data(), mask.data(),
                                    static_cast<DWORD>(kT0Atr.size())),
            SCARD_S_SUCCESS);
  ASSERT_EQ(SCardSetCardTypeProviderNameW(context_->get(), L"Masked", SCARD_PROVIDER_CSP, L"Quorvex Demo CSP"),
            SCARD_S_SUCCESS);
  LONG result;
  EXPECT_EQ(ListCards(scardsim::AtrFromHex("3B:02:14:77"), result), (std::vector<std::wstring>{L"Masked"}));
  wchar_t provider[64];
  DWORD length = 64;
  ASSERT_EQ(SCardGetCardTypeProviderNameW(context_->get(), L"masked", SCARD_PROVIDER_CSP, provider, &length),
            SCARD_S_SUCCESS);
  EXPECT_STREQ(provider, L"Quorvex Demo CSP");
  EXPECT_EQ(SCardForgetCardTypeW(context_->get(), L"Masked"), SCARD_S_SUCCESS);
  EXPECT_TRUE(ListCards(kT0Atr, result).empty());
}

}  // namespace
