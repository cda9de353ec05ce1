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

// A context released at scope exit, so a failing assertion cannot leak it.
class ScopedContext {
 public:
  ScopedContext() { EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &handle_), SCARD_S_SUCCESS); }
  ~ScopedContext() {
    if (handle_) SCardReleaseContext(handle_);
  }
  ScopedContext(const ScopedContext&) = delete;
  ScopedContext& operator=(const ScopedContext&) = delete;
  SCARDCONTEXT get() const { return handle_; }

 private:
  SCARDCONTEXT handle_ = 0;
};

inline SCARD_READERSTATEW Record(LPCWSTR reader, DWORD currentState = SCARD_STATE_UNAWARE) {
  SCARD_READERSTATEW record{};
  record.szReader = reader;
  record.dwCurrentState = currentState;
  return record;
}

inline std::vector<std::wstring> SplitMultiString(const wchar_t* list) {
  std::vector<std::wstring> names;
  for (const wchar_t* p = list; *p; p += wcslen(p) + 1) names.emplace_back(p);
  return names;
}

}  // namespace scardsim_test
