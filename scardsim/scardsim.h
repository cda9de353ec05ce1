// Control interface of the simulated PC/SC service (winscard.dll of the test
// builds). Tests and tools drive readers, cards, the card database and the
// service's failures through these functions, then watch what the code under
// test did through the accounting functions.
#pragma once

#include <windows.h>

#define SIM_SERVICE_RUNNING 0
#define SIM_SERVICE_NOT_RUNNING 1  // SCardEstablishContext -> SCARD_E_NO_SERVICE
#define SIM_SERVICE_STOPPED 2      // SCardEstablishContext -> SCARD_E_SERVICE_STOPPED

// Flags of SimInsertCard.
#define SIM_CARD_MUTE 0x1  // no answer to reset: SCARD_STATE_MUTE, no ATR, connect -> unresponsive

#ifdef __cplusplus
extern "C" {
#endif

// Service running, no readers, no cards, empty card database, no injected
// results or delays, counters 0, pending timed scenario actions dropped.
// Contexts, card handles and buffers still open are forgotten (a later free
// of such a buffer is accepted silently).
void WINAPI SimReset(void);
void WINAPI SimSetServiceState(DWORD state);

// Readers are listed in the order they were added. Names compare without case.
BOOL WINAPI SimAddReader(LPCWSTR name);
BOOL WINAPI SimRemoveReader(LPCWSTR name);

// atrLength 1..33. FALSE when the reader is unknown or already holds a card.
BOOL WINAPI SimInsertCard(LPCWSTR reader, const BYTE* atr, DWORD atrLength, DWORD flags);
// Every SCardConnectW to the card now in the reader returns `result`
// (0 = connect normally) until the card is removed.
BOOL WINAPI SimSetCardConnectResult(LPCWSTR reader, LONG result);
BOOL WINAPI SimRemoveCard(LPCWSTR reader);

// Registers a card type for an ATR (exact match, 1..36 bytes); cspName NULL
// means no CSP is registered for it. FALSE when the name is taken.
BOOL WINAPI SimAddCardType(LPCWSTR cardName, const BYTE* atr, DWORD atrLength, LPCWSTR cspName);

// The next `count` calls of the exported function `operation` (for example
// "SCardConnectW") return `result` without doing anything else. count 0 clears.
void WINAPI SimInjectResult(LPCSTR operation, LONG result, DWORD count);
// Every call of `operation` first sleeps this long (0 = none).
void WINAPI SimSetDelay(LPCSTR operation, DWORD milliseconds);

DWORD WINAPI SimOpenContexts(void);
// Handles never disconnected, including those a context release dropped.
DWORD WINAPI SimOpenCardHandles(void);
DWORD WINAPI SimUnfreedBuffers(void);
// Every call since the last reset, injected ones included.
DWORD WINAPI SimCallCount(LPCSTR operation);

// Number of SCardGetStatusChangeW calls blocked right now, and a wait until
// at least `count` are (TRUE) or `timeoutMs` passed (FALSE). Lets a test act
// only once the code under test really waits.
DWORD WINAPI SimPendingWaits(void);
BOOL WINAPI SimWaitForPendingWaits(DWORD count, DWORD timeoutMs);

// Loads a scenario file (see scardsim/README.md) on top of the current state.
// 0 on success, a Win32 error code when the file cannot be read,
// ERROR_BAD_FORMAT when a line is wrong (one message with the line number
// goes to stderr and the debugger).
LONG WINAPI SimLoadScenario(LPCWSTR path);

#ifdef __cplusplus
}  // extern "C"

#include <string>
#include <vector>

namespace scardsim {

// "3B:8F:80:01", "3b 8f 80 01" or "3B8F8001" -> bytes. Separators are ':',
// '-' and blanks; anything else that is not a hex digit yields an empty ATR.
inline std::vector<BYTE> AtrFromHex(const char* hex) {
  std::vector<BYTE> bytes;
  int high = -1;
  for (const char* p = hex; *p; ++p) {
    const char c = *p;
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else if (c == ':' || c == '-' || c == ' ') {
      if (high >= 0) return {};  // odd digit count in a group
      continue;
    } else {
      return {};
    }
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<BYTE>(high << 4 | digit));
      high = -1;
    }
  }
  if (high >= 0) return {};
  return bytes;
}

inline BOOL InsertCard(LPCWSTR reader, const std::vector<BYTE>& atr, DWORD flags = 0) {
  return SimInsertCard(reader, atr.data(), static_cast<DWORD>(atr.size()), flags);
}

inline BOOL AddCardType(LPCWSTR cardName, const std::vector<BYTE>& atr, LPCWSTR cspName) {
  return SimAddCardType(cardName, atr.data(), static_cast<DWORD>(atr.size()), cspName);
}

}  // namespace scardsim
#endif
