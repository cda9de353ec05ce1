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

// Hostile answers (SimSetHostile). Each mode shapes one kind of answer; set on
// an operation that gives no such answer, it changes nothing.
#define SIM_HOSTILE_NONE 0
// Strings and lists that the service allocates (SCARD_AUTOALLOCATE):
// SCardListReadersW, SCardListCardsW, SCardGetCardTypeProviderNameW and the
// reader name of SCardStatusW. `parameter` counts characters. Every service
// buffer ends right before an inaccessible page, so a caller that reads past
// what it was given faults at once.
#define SIM_HOSTILE_CUT_TAIL \
    1                                  // the last `parameter` characters are left out, and the length says so
                                       // (1 on a list: no closing empty name; 2: the last name unterminated)
#define SIM_HOSTILE_LENGTH_SHORT 2     // complete answer, length `parameter` too small
#define SIM_HOSTILE_LENGTH_LONG 3      // complete answer, length `parameter` too large
#define SIM_HOSTILE_NULL_ANSWER 4      // success and the true length, but a null pointer
#define SIM_HOSTILE_ANSWER_AND_FAIL 5  // the buffer is handed out, then the call fails with `parameter`
// SCardGetStatusChangeW:
#define SIM_HOSTILE_WAIT_NO_CHANGE 16     // success at once; every event state equals its current state
#define SIM_HOSTILE_WAIT_CHANGED_FLAG 17  // success at once; event state = current state | SCARD_STATE_CHANGED
#define SIM_HOSTILE_WAIT_HANG \
    18  // ignores timeout and changes: ends only on SCardCancel, a release
        // of its context or SimReset
// SCardStatusW: the ATR length reported is `parameter` bytes (0, or more than
// the caller's buffer); no more than the buffer holds is written.
#define SIM_HOSTILE_ATR_LENGTH 32
// SCardEstablishContext, SCardConnectW: success with a null handle; nothing is opened.
#define SIM_HOSTILE_ZERO_HANDLE 48

// The control functions use the C calling convention: their names stay
// undecorated on x86 too, as the .def exports them, so one .def and the import
// library the linker makes from it serve both architectures.
#define SIMAPI __cdecl

#ifdef __cplusplus
extern "C" {
#endif

// Service running, no readers, no cards, empty card database, no injected
// results, hostile modes or delays, counters 0, pending timed scenario
// actions dropped.
// Contexts, card handles and buffers still open are forgotten (a later free
// of such a buffer is accepted silently).
void SIMAPI SimReset(void);
void SIMAPI SimSetServiceState(DWORD state);

// Readers are listed in the order they were added. Names compare without case.
BOOL SIMAPI SimAddReader(LPCWSTR name);
BOOL SIMAPI SimRemoveReader(LPCWSTR name);

// atrLength 1..33. FALSE when the reader is unknown or already holds a card.
BOOL SIMAPI SimInsertCard(LPCWSTR reader, const BYTE* atr, DWORD atrLength, DWORD flags);
// Every SCardConnectW to the card now in the reader returns `result`
// (0 = connect normally) until the card is removed.
BOOL SIMAPI SimSetCardConnectResult(LPCWSTR reader, LONG result);
BOOL SIMAPI SimRemoveCard(LPCWSTR reader);

// Registers a card type for an ATR (exact match, 1..36 bytes); cspName NULL
// means no CSP is registered for it. FALSE when the name is taken.
BOOL SIMAPI SimAddCardType(LPCWSTR cardName, const BYTE* atr, DWORD atrLength, LPCWSTR cspName);

// The next `count` calls of the exported function `operation` (for example
// "SCardConnectW") return `result` without doing anything else. count 0 clears.
void SIMAPI SimInjectResult(LPCSTR operation, LONG result, DWORD count);
// The next `count` calls of `operation` return results[0], results[1], ... in
// turn, doing nothing else; replaces SimInjectResult's setting. count 0 clears.
void SIMAPI SimInjectResults(LPCSTR operation, const LONG* results, DWORD count);
// Every call of `operation` first sleeps this long (0 = none).
void SIMAPI SimSetDelay(LPCSTR operation, DWORD milliseconds);
// The next `count` calls of `operation` answer in a hostile way (SIM_HOSTILE_*
// above; INFINITE = until cleared, count 0 or SIM_HOSTILE_NONE clears). One
// mode per operation; an injected result (SimInjectResult) comes first.
void SIMAPI SimSetHostile(LPCSTR operation, DWORD mode, DWORD parameter, DWORD count);

// Service buffers end against an inaccessible page (default), so a read past
// one faults at once; FALSE hands out plain heap memory instead, for
// benchmarks that measure the code rather than the fence. Kept over resets.
void SIMAPI SimSetBufferFences(BOOL on);

DWORD SIMAPI SimOpenContexts(void);
// Handles never disconnected, including those a context release dropped.
DWORD SIMAPI SimOpenCardHandles(void);
DWORD SIMAPI SimUnfreedBuffers(void);
// Every call since the last reset, injected ones included.
DWORD SIMAPI SimCallCount(LPCSTR operation);
// The thread id of the last caller of `operation` since the last reset (0 = none):
// lets a test find the thread that runs the code under test.
DWORD SIMAPI SimLastCallerThread(LPCSTR operation);

// Number of SCardGetStatusChangeW calls blocked right now, and a wait until
// at least `count` are (TRUE) or `timeoutMs` passed (FALSE). Lets a test act
// only once the code under test really waits.
DWORD SIMAPI SimPendingWaits(void);
BOOL SIMAPI SimWaitForPendingWaits(DWORD count, DWORD timeoutMs);

// Loads a scenario file (see scardsim/README.md) on top of the current state.
// 0 on success, a Win32 error code when the file cannot be read,
// ERROR_BAD_FORMAT when a line is wrong (one message with the line number
// goes to stderr and the debugger).
LONG SIMAPI SimLoadScenario(LPCWSTR path);

#ifdef __cplusplus
}  // extern "C"

#include <string>
#include <vector>

namespace scardsim {

// "3B:8F:80:01", "3b 8f 80 01" or "3B8F8001" -> bytes. Separators are ':',
// '-' and blanks; anything else that is not a hex digit yields an empty ATR.
inline std::vector<BYTE> AtrFromHex(const char* hex)
{
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

inline BOOL InsertCard(LPCWSTR reader, const std::vector<BYTE>& atr, DWORD flags = 0)
{
    return SimInsertCard(reader, atr.data(), static_cast<DWORD>(atr.size()), flags);
}

inline BOOL AddCardType(LPCWSTR cardName, const std::vector<BYTE>& atr, LPCWSTR cspName)
{
    return SimAddCardType(cardName, atr.data(), static_cast<DWORD>(atr.size()), cspName);
}

}  // namespace scardsim
#endif
