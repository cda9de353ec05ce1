// Internal state of the simulated PC/SC service. Every source file of the DLL
// includes this header first: it is the one place that includes winscard.h.
// The build empties WINSCARDDATA for this DLL (it defines the PCI structures
// that the header otherwise declares as imports), before any header, since
// windows.h already includes winscard.h.
#pragma once

#include <windows.h>
#include <winscard.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "scardsim.h"

namespace scardsim {

using Bytes = std::vector<BYTE>;
using Clock = std::chrono::steady_clock;

struct Card {
    Bytes atr;
    DWORD flags = 0;
    LONG connectResult = SCARD_S_SUCCESS;
    DWORD protocols = 0;  // SCARD_PROTOCOL_T0 / T1 offered by the ATR
    DWORD serial = 0;     // unique per insertion: a handle outlives "its" card
    DWORD resets = 0;     // bumped by a resetting disconnect; other handles then see SCARD_W_RESET_CARD
};

struct Reader {
    std::wstring name;
    std::optional<Card> card;
    WORD eventCounter = 0;  // high word of dwEventState, bumped by each insertion and removal
};

struct CardType {
    std::wstring name;
    Bytes atr;
    Bytes mask;  // same length as atr; all 0xFF for an exact match
    std::vector<GUID> interfaces;
    std::map<DWORD, std::wstring> providers;  // SCARD_PROVIDER_PRIMARY (as GUID text), _CSP, ... -> name
};

struct Context {
    DWORD cancels = 0;  // a wait returns SCARD_E_CANCELLED once this moves past the value it started with
};

struct CardHandle {
    SCARDCONTEXT context = 0;
    std::wstring reader;
    DWORD shareMode = 0;
    DWORD protocol = 0;
    DWORD cardSerial = 0;  // 0 for a direct connection to an empty reader
    DWORD cardResets = 0;
    // The context was released without a disconnect first: the handle is dead
    // but still counted, so tests see the leak.
    bool orphaned = false;
};

// Either `remaining` calls that return `result`, or one call per result of
// `sequence`, in order.
struct Injection {
    LONG result = 0;
    DWORD remaining = 0;
    std::deque<LONG> sequence;
};

// A hostile mode set on an operation (SimSetHostile); INFINITE never runs out.
struct Hostility {
    DWORD mode = SIM_HOSTILE_NONE;
    DWORD parameter = 0;
    DWORD remaining = 0;
};

// One timed scenario action; `run` executes under the service lock and
// returns an error text, empty on success.
struct TimedAction {
    Clock::time_point due;
    unsigned line = 0;
    std::wstring source;
    std::function<std::wstring(struct Service&)> run;
};

struct Service {
    // One lock for everything: the service is small and a single lock makes the
    // state transitions (insert, wake waiters, account) trivially consistent.
    std::mutex mutex;
    std::condition_variable changed;         // readers, cards, handles, service state, cancels, reset
    std::condition_variable waitersChanged;  // pendingWaits moved
    std::condition_variable timerChanged;    // timed actions added or dropped

    DWORD serviceState = SIM_SERVICE_RUNNING;
    std::vector<Reader> readers;
    std::vector<CardType> cardTypes;  // registration order is the order SCardListCardsW reports
    std::map<SCARDCONTEXT, Context> contexts;
    std::map<SCARDHANDLE, CardHandle> handles;
    std::set<const void*> buffers;
    std::set<const void*> forgottenBuffers;  // allocated before a reset; freeing them stays legal
    std::set<const void*> plainBuffers;      // from the heap, not fenced (benchmarks)
    bool fenceBuffers = true;
    std::map<std::string, DWORD> callCounts;
    std::map<std::string, DWORD> lastCallers;  // thread ids
    std::map<std::string, Injection> injections;
    std::map<std::string, Hostility> hostilities;
    std::map<std::string, DWORD> delays;
    std::vector<TimedAction> timedActions;
    bool timerThreadStarted = false;

    DWORD pendingWaits = 0;
    // Never reset, so handles from before a SimReset stay invalid.
    ULONG_PTR nextContext = 0x5C000001;
    ULONG_PTR nextHandle = 0x5D000001;
    DWORD nextCardSerial = 1;

    // Wakes every blocked SCardGetStatusChangeW so that it re-evaluates.
    void NotifyChange() { changed.notify_all(); }

    Reader* FindReader(const std::wstring& name);
    CardType* FindCardType(const std::wstring& name);
    // SCARD_S_SUCCESS, SCARD_E_NO_SERVICE or SCARD_E_SERVICE_STOPPED.
    LONG ServiceResult() const;
    // Counts the open handles on the card now in `reader`.
    void CountHandles(const Reader& reader, DWORD& shared, DWORD& exclusive) const;

    // Service-allocated memory, tracked so that tests can spot leaks.
    void* Allocate(size_t bytes);
    bool Free(const void* memory);

    // Control operations shared by the Sim* exports and the scenario loader.
    // They expect the lock to be held and return an error text (empty = done).
    std::wstring AddReaderLocked(const std::wstring& name);
    std::wstring RemoveReaderLocked(const std::wstring& name);
    std::wstring InsertCardLocked(const std::wstring& reader, const Bytes& atr, DWORD flags, LONG connectResult);
    std::wstring SetConnectResultLocked(const std::wstring& reader, LONG result);
    std::wstring RemoveCardLocked(const std::wstring& reader);
    std::wstring AddCardTypeLocked(const std::wstring& name, const Bytes& atr, const Bytes& mask,
                                   const std::vector<GUID>& interfaces, const GUID* primary, const std::wstring* csp);
    void SetServiceStateLocked(DWORD state);
    void InjectLocked(const std::string& operation, LONG result, DWORD count);
    void InjectSequenceLocked(const std::string& operation, std::deque<LONG> results);
    void SetHostileLocked(const std::string& operation, DWORD mode, DWORD parameter, DWORD count);
    // The hostile mode for this call of `operation`, counted down; its mode is
    // SIM_HOSTILE_NONE when none is set.
    Hostility TakeHostility(const char* operation);
    void SetDelayLocked(const std::string& operation, DWORD milliseconds);
    void ResetLocked();

    // Starts the background thread that runs timed scenario actions; lazily,
    // because threads must not be created from DllMain.
    void StartTimerThreadLocked();
};

// The service, constructed on first use and never destroyed: the timer thread
// may still run while the process exits.
Service& Instance();

// Loads the scenario named by SCARDSIM_SCENARIO, once per process, on the
// first call into the DLL.
void EnsureStarted();

// Prologue of every exported SCard function: counts the call, sleeps the
// configured delay and returns the injected result, if any.
std::optional<LONG> EnterCall(const char* operation);

// Hands `count` elements of `data` to a PC/SC caller: a size query when
// `buffer` is null, a service buffer written to *(T**)buffer when *length is
// SCARD_AUTOALLOCATE, else a caller buffer of *length elements
// (SCARD_E_INSUFFICIENT_BUFFER when too small). *length becomes `count`.
// The lock must be held.
LONG ReturnBuffer(Service& service, const void* data, DWORD count, size_t elementSize, void* buffer, DWORD* length);

// ReturnBuffer for an answer that a hostile mode may shape (hostile.cpp):
// the modes apply only when the service allocates the answer.
LONG ReturnAnswer(Service& service, const Hostility& hostility, const void* data, DWORD count, size_t elementSize,
                  void* buffer, DWORD* length);

// Same check without writing: would ReturnBuffer fail for lack of room?
bool CallerBufferTooSmall(const void* buffer, const DWORD* length, DWORD count);

// "A\0B\0\0" from {"A", "B"}; an empty list gives "\0\0".
std::wstring MultiString(const std::vector<std::wstring>& names);

bool SameName(const std::wstring& a, const std::wstring& b);
std::string Narrow(const std::wstring& text);  // UTF-8, for messages

}  // namespace scardsim
