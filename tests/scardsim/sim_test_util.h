// Helpers shared by the simulated service's own tests.
#pragma once

#include <windows.h>
#include <winscard.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scardsim/scardsim.h"
#include "support/sim_fixture.h"

namespace scardsim_test {

// Well-formed ATRs: T=0 and T=1 offered; T=0 only (no TD1); T=1 only.
inline const std::vector<BYTE> kDualAtr = scardsim::AtrFromHex("3B:83:80:01:51:56:58:5D");
inline const std::vector<BYTE> kT0Atr = scardsim::AtrFromHex("3B:02:14:50");
inline const std::vector<BYTE> kT1Atr = scardsim::AtrFromHex("3B:81:01:51:D1");

inline SCARD_READERSTATEW Record(LPCWSTR reader, DWORD currentState = SCARD_STATE_UNAWARE)
{
    SCARD_READERSTATEW record{};
    record.szReader = reader;
    record.dwCurrentState = currentState;
    return record;
}

inline std::vector<BYTE> Atr(const SCARD_READERSTATEW& record)
{
    return std::vector<BYTE>(record.rgbAtr, record.rgbAtr + record.cbAtr);
}

// The names of a multi-string, checking the length the service gave for it:
// every name with its NUL and the final NUL, two NULs for an empty list.
inline std::vector<std::wstring> SplitMultiString(const wchar_t* list, DWORD length)
{
    std::vector<std::wstring> names;
    const wchar_t* p = list;
    for (; *p; p += wcslen(p) + 1) names.emplace_back(p);
    EXPECT_EQ(static_cast<DWORD>(p - list) + (names.empty() ? 2 : 1), length);
    return names;
}

// A clean service with one open context. It is opened after the base reset
// (which would forget it) and released before the base leak check.
class SimWithContext : public SimulatedServiceTest {
protected:
    void SetUp() override
    {
        SimulatedServiceTest::SetUp();
        ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_), SCARD_S_SUCCESS);
    }
    void TearDown() override
    {
        SCardReleaseContext(context_);
        SimulatedServiceTest::TearDown();
    }
    LONG Connect(LPCWSTR reader, DWORD share, DWORD protocols, SCARDHANDLE& card)
    {
        return SCardConnectW(context_, reader, share, protocols, &card, &protocol_);
    }
    SCARDCONTEXT context_ = 0;
    DWORD protocol_ = 0;  // of the last Connect
};

}  // namespace scardsim_test
