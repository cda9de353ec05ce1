// The control interface (scardsim.h): what tests and scenarios do to the
// simulated world, and the accounting they read back.
#include "service.h"

#include "guarded.h"

#include <cstdio>

#include "atr.h"

namespace scardsim {

namespace {

void BumpCounter(Reader& reader)
{
    // A zero counter reads as "no counter" to callers, so the wrap skips it.
    if (++reader.eventCounter == 0) reader.eventCounter = 1;
}

}  // namespace

std::wstring Service::AddReaderLocked(const std::wstring& name)
{
    if (name.empty()) return L"empty reader name";
    if (FindReader(name)) return L"reader \"" + name + L"\" exists already";
    readers.push_back(Reader{name, std::nullopt, 0});
    NotifyChange();
    return {};
}

std::wstring Service::RemoveReaderLocked(const std::wstring& name)
{
    for (auto reader = readers.begin(); reader != readers.end(); ++reader) {
        if (SameName(reader->name, name)) {
            readers.erase(reader);
            NotifyChange();
            return {};
        }
    }
    return L"unknown reader \"" + name + L"\"";
}

std::wstring Service::InsertCardLocked(const std::wstring& readerName, const Bytes& atr, DWORD flags,
                                       LONG connectResult)
{
    Reader* reader = FindReader(readerName);
    if (!reader) return L"unknown reader \"" + readerName + L"\"";
    if (reader->card) return L"reader \"" + readerName + L"\" holds a card already";
    if (atr.empty() || atr.size() > SCARD_ATR_LENGTH) return L"ATR must have 1 to 33 bytes";
    Card card;
    card.atr = atr;
    card.flags = flags;
    card.connectResult = connectResult;
    card.serial = nextCardSerial++;
    const std::optional<AtrInfo> info = ParseAtr(atr.data(), static_cast<DWORD>(atr.size()));
    if (info && info->length == atr.size()) {
        card.protocols = info->protocols;
    } else {
        // Still usable, but the card database will not match it by length.
        card.protocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
        OutputDebugStringA("scardsim: inserted ATR is not well-formed; card types match it only by their own length\n");
    }
    reader->card = std::move(card);
    BumpCounter(*reader);
    NotifyChange();
    return {};
}

std::wstring Service::SetConnectResultLocked(const std::wstring& readerName, LONG result)
{
    Reader* reader = FindReader(readerName);
    if (!reader) return L"unknown reader \"" + readerName + L"\"";
    if (!reader->card) return L"no card in reader \"" + readerName + L"\"";
    reader->card->connectResult = result;
    return {};
}

std::wstring Service::RemoveCardLocked(const std::wstring& readerName)
{
    Reader* reader = FindReader(readerName);
    if (!reader) return L"unknown reader \"" + readerName + L"\"";
    if (!reader->card) return L"no card in reader \"" + readerName + L"\"";
    reader->card.reset();
    BumpCounter(*reader);
    NotifyChange();
    return {};
}

void Service::SetServiceStateLocked(DWORD state)
{
    if (state > SIM_SERVICE_STOPPED) return;
    serviceState = state;
    NotifyChange();  // pending waits end with the service's error
}

void Service::InjectLocked(const std::string& operation, LONG result, DWORD count)
{
    if (count == 0) {
        injections.erase(operation);
    } else {
        injections[operation] = Injection{result, count, {}};
    }
}

void Service::InjectSequenceLocked(const std::string& operation, std::deque<LONG> results)
{
    if (results.empty()) {
        injections.erase(operation);
    } else {
        injections[operation] = Injection{0, 0, std::move(results)};
    }
}

void Service::SetDelayLocked(const std::string& operation, DWORD milliseconds)
{
    if (milliseconds == 0) {
        delays.erase(operation);
    } else {
        delays[operation] = milliseconds;
    }
}

void Service::ResetLocked()
{
    serviceState = SIM_SERVICE_RUNNING;
    readers.clear();
    cardTypes.clear();
    // Pending waits find their context gone and return; handles and buffers of
    // an earlier test are not this test's leaks.
    contexts.clear();
    handles.clear();
    forgottenBuffers.insert(buffers.begin(), buffers.end());
    buffers.clear();
    callCounts.clear();
    lastCallers.clear();
    injections.clear();
    hostilities.clear();
    delays.clear();
    timedActions.clear();
    timerChanged.notify_all();
    NotifyChange();
}

}  // namespace scardsim

using namespace scardsim;

namespace {

// Every control call takes the lock the same way; the first one of the
// process also loads the scenario from the environment.
Service& Locked(std::unique_lock<std::mutex>& lock)
{
    EnsureStarted();
    Service& service = Instance();
    lock = std::unique_lock(service.mutex);
    return service;
}

BOOL Report(const std::wstring& error)
{
    if (error.empty()) return TRUE;
    OutputDebugStringA(("scardsim: " + Narrow(error) + "\n").c_str());
    return FALSE;
}

std::wstring Text(LPCWSTR text) { return text ? text : L""; }

}  // namespace

void SIMAPI SimReset(void)
{
    GuardedControl([&] {
        std::unique_lock<std::mutex> lock;
        Locked(lock).ResetLocked();
    });
}

void SIMAPI SimSetServiceState(DWORD state)
{
    GuardedControl([&] {
        std::unique_lock<std::mutex> lock;
        Locked(lock).SetServiceStateLocked(state);
    });
}

BOOL SIMAPI SimAddReader(LPCWSTR name)
{
    return GuardedControl(static_cast<BOOL>(FALSE), [&]() -> BOOL {
        std::unique_lock<std::mutex> lock;
        return Report(Locked(lock).AddReaderLocked(Text(name)));
    });
}

BOOL SIMAPI SimRemoveReader(LPCWSTR name)
{
    return GuardedControl(static_cast<BOOL>(FALSE), [&]() -> BOOL {
        std::unique_lock<std::mutex> lock;
        return Report(Locked(lock).RemoveReaderLocked(Text(name)));
    });
}

BOOL SIMAPI SimInsertCard(LPCWSTR reader, const BYTE* atr, DWORD atrLength, DWORD flags)
{
    return GuardedControl(static_cast<BOOL>(FALSE), [&]() -> BOOL {
        if (!atr && atrLength) return FALSE;
        std::unique_lock<std::mutex> lock;
        const Bytes bytes(atr, atr + atrLength);
        return Report(Locked(lock).InsertCardLocked(Text(reader), bytes, flags, SCARD_S_SUCCESS));
    });
}

BOOL SIMAPI SimSetCardConnectResult(LPCWSTR reader, LONG result)
{
    return GuardedControl(static_cast<BOOL>(FALSE), [&]() -> BOOL {
        std::unique_lock<std::mutex> lock;
        return Report(Locked(lock).SetConnectResultLocked(Text(reader), result));
    });
}

BOOL SIMAPI SimRemoveCard(LPCWSTR reader)
{
    return GuardedControl(static_cast<BOOL>(FALSE), [&]() -> BOOL {
        std::unique_lock<std::mutex> lock;
        return Report(Locked(lock).RemoveCardLocked(Text(reader)));
    });
}

BOOL SIMAPI SimAddCardType(LPCWSTR cardName, const BYTE* atr, DWORD atrLength, LPCWSTR cspName)
{
    return GuardedControl(static_cast<BOOL>(FALSE), [&]() -> BOOL {
        if (!atr && atrLength) return FALSE;
        std::unique_lock<std::mutex> lock;
        const Bytes bytes(atr, atr + atrLength);
        const std::wstring csp = Text(cspName);
        return Report(Locked(lock).AddCardTypeLocked(Text(cardName), bytes, {}, {}, nullptr, cspName ? &csp : nullptr));
    });
}

void SIMAPI SimInjectResult(LPCSTR operation, LONG result, DWORD count)
{
    GuardedControl([&] {
        if (!operation) return;
        std::unique_lock<std::mutex> lock;
        Locked(lock).InjectLocked(operation, result, count);
    });
}

void SIMAPI SimInjectResults(LPCSTR operation, const LONG* results, DWORD count)
{
    GuardedControl([&] {
        if (!operation || (!results && count)) return;
        std::unique_lock<std::mutex> lock;
        Locked(lock).InjectSequenceLocked(operation, std::deque<LONG>(results, results + count));
    });
}

void SIMAPI SimSetDelay(LPCSTR operation, DWORD milliseconds)
{
    GuardedControl([&] {
        if (!operation) return;
        std::unique_lock<std::mutex> lock;
        Locked(lock).SetDelayLocked(operation, milliseconds);
    });
}

void SIMAPI SimSetBufferFences(BOOL on)
{
    GuardedControl([&] {
        std::unique_lock<std::mutex> lock;
        Locked(lock).fenceBuffers = on != FALSE;
    });
}

DWORD SIMAPI SimOpenContexts(void)
{
    return GuardedControl(static_cast<DWORD>(0), [&]() -> DWORD {
        std::unique_lock<std::mutex> lock;
        return static_cast<DWORD>(Locked(lock).contexts.size());
    });
}

DWORD SIMAPI SimOpenCardHandles(void)
{
    return GuardedControl(static_cast<DWORD>(0), [&]() -> DWORD {
        std::unique_lock<std::mutex> lock;
        return static_cast<DWORD>(Locked(lock).handles.size());
    });
}

DWORD SIMAPI SimUnfreedBuffers(void)
{
    return GuardedControl(static_cast<DWORD>(0), [&]() -> DWORD {
        std::unique_lock<std::mutex> lock;
        return static_cast<DWORD>(Locked(lock).buffers.size());
    });
}

DWORD SIMAPI SimCallCount(LPCSTR operation)
{
    return GuardedControl(static_cast<DWORD>(0), [&]() -> DWORD {
        if (!operation) return 0;
        std::unique_lock<std::mutex> lock;
        Service& service = Locked(lock);
        auto found = service.callCounts.find(operation);
        return found == service.callCounts.end() ? 0 : found->second;
    });
}

DWORD SIMAPI SimLastCallerThread(LPCSTR operation)
{
    return GuardedControl(static_cast<DWORD>(0), [&]() -> DWORD {
        if (!operation) return 0;
        std::unique_lock<std::mutex> lock;
        Service& service = Locked(lock);
        auto found = service.lastCallers.find(operation);
        return found == service.lastCallers.end() ? 0 : found->second;
    });
}

DWORD SIMAPI SimPendingWaits(void)
{
    return GuardedControl(static_cast<DWORD>(0), [&]() -> DWORD {
        std::unique_lock<std::mutex> lock;
        return Locked(lock).pendingWaits;
    });
}

BOOL SIMAPI SimWaitForPendingWaits(DWORD count, DWORD timeoutMs)
{
    return GuardedControl(static_cast<BOOL>(FALSE), [&]() -> BOOL {
        std::unique_lock<std::mutex> lock;
        Service& service = Locked(lock);
        return service.waitersChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                               [&] { return service.pendingWaits >= count; });
    });
}
