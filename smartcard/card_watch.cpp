#define QV_LOG_SOURCE "SmartCardAuthPlugin.cpp"
// SendDataReadyEventForCurrentCard up to a successful connection: the checks,
// the watch context, the check phase and the wait phase.
#include "smartcard/card_watch.h"

#include <new>

#include "logging/log.h"
#include "logging/system_error_text.h"
#include "smartcard/card_watch_host.h"
#include "win/hresult.h"
#include "win/status_ids.h"

namespace quorvex {
namespace {

enum class Phase { Check, Wait };
enum class Attempt { None, Connected, Warning, QuietEnd, Failed };

constexpr unsigned Hex(LONG result) noexcept { return static_cast<unsigned>(result); }

// The scan rule for one reader. The current state always takes the whole event
// state, so the next wait reports only what changes after this scan.
bool CardNewlyArrived(SCARD_READERSTATEW& state) noexcept
{
    // The high 16 bits hold the service's event counter, not state flags.
    const DWORD changed = (state.dwCurrentState ^ state.dwEventState) & 0xFFFF;
    state.dwCurrentState = state.dwEventState;
    return (changed & state.dwEventState & SCARD_STATE_PRESENT) != 0 && (state.dwEventState & SCARD_STATE_MUTE) == 0;
}

// Keeps a run's waits from following each other faster than one wait's
// length. A service may answer at once, every time: with no reader to watch,
// with a "change" that changes nothing, or with a time-out that did not wait.
// The watch then still makes about ten waits a second instead of spinning a
// core. One quick answer in a row goes unpaced: the first wait of a run
// reports the readers' current state at once, and a real change followed by
// a card must not cost the card a pause. A pending wait still reports a
// change at once.
class WaitPacer {
public:
    explicit WaitPacer(DWORD waitMs) noexcept : waitMs_(waitMs) {}

    DWORD waitMs() const noexcept { return waitMs_; }

    void BeforeWait() noexcept
    {
        const ULONGLONG sinceLast = ::GetTickCount64() - lastStart_;
        if (lastStart_ != 0 && sinceLast < waitMs_) {
            if (quickAnswers_++ > 0) ::Sleep(static_cast<DWORD>(waitMs_ - sinceLast));
        } else {
            quickAnswers_ = 0;
        }
        lastStart_ = ::GetTickCount64();
    }

private:
    const DWORD waitMs_;  // the run's wait length
    ULONGLONG lastStart_ = 0;
    unsigned quickAnswers_ = 0;  // waits in a row that came back early
};

enum class Waited { Change, Timeout, QuietEnd, Error };

// One wait with its record and the stop rules both phases share. The stop flag
// is read after a wait that timed out (and by the phases after a scan that
// leads nowhere); a run that is cut off ends at once.
Waited WaitOnce(CardWatchHost& host, TraceScope& scope, SCARDCONTEXT context, std::vector<SCARD_READERSTATEW>& states,
                Phase phase, WaitPacer& pacer)
{
    pacer.BeforeWait();
    const LONG result = ::SCardGetStatusChangeW(context, pacer.waitMs(), states.data(),
                                                static_cast<DWORD>(states.size()));
    QV_LOG(3, scope, "SCardGetStatusChange() return: 0x%X", Hex(result));
    if (host.cutOff()) return Waited::QuietEnd;
    if (result == static_cast<LONG>(SCARD_E_TIMEOUT)) return host.stopRequested() ? Waited::QuietEnd : Waited::Timeout;
    if (phase == Phase::Wait) QV_LOG(3, scope, "SC status has change");
    if (result == static_cast<LONG>(SCARD_E_CANCELLED)) return Waited::QuietEnd;
    return result == SCARD_S_SUCCESS ? Waited::Change : Waited::Error;
}

// Connects to the card newly arrived in `slot`, which becomes the selected
// reader, and acts on the result as the phase requires.
Attempt ConnectToCard(CardWatchHost& host, TraceScope& scope, SCARDCONTEXT context, ULONG slot, Phase phase,
                      ScardCard& card)
{
    host.SelectReader(static_cast<LONG>(slot));
    SCARDHANDLE handle = 0;
    DWORD protocol = 0;
    const LONG result = ::SCardConnectW(context, host.readerName(slot), SCARD_SHARE_SHARED,
                                        SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle, &protocol);
    QV_LOG(3, scope, "SCardConnect() return: 0x%X", Hex(result));

    switch (static_cast<DWORD>(result)) {
    case SCARD_S_SUCCESS: *card.put() = handle; return Attempt::Connected;
    case static_cast<DWORD>(SCARD_E_CANCELLED):
    case static_cast<DWORD>(SCARD_E_SYSTEM_CANCELLED):
    case static_cast<DWORD>(SCARD_P_SHUTDOWN):
    case static_cast<DWORD>(SCARD_E_SERVICE_STOPPED):
    case static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER): return Attempt::QuietEnd;
    case static_cast<DWORD>(SCARD_W_REMOVED_CARD):
        host.SendStatusChanged(status::kCardRemoved);
        return Attempt::Warning;
    case static_cast<DWORD>(SCARD_W_UNRESPONSIVE_CARD):
    case static_cast<DWORD>(SCARD_W_UNPOWERED_CARD):
        host.SendStatusChanged(status::kCardUnresponsive);
        return Attempt::Warning;
    case static_cast<DWORD>(SCARD_W_UNSUPPORTED_CARD):
        host.SendStatusChanged(status::kCardUnsupported);
        return Attempt::Warning;
    default:
        if (phase == Phase::Check) {
            QV_LOG(1, scope, "*** SendDataReadyEventForCurrentCard(): SCardConnect() return unknown error: 0x%X [%S]",
                   Hex(result), GetSystemErrorText(static_cast<DWORD>(result)).c_str());
        } else {
            QV_LOG(1, scope, "*** SendDataReadyEventForCurrentCard(): SCardConnect() return unknown error: 0x%X",
                   Hex(result));
        }
        host.FireFailed(status::kConnectFailed);
        return Attempt::Failed;
    }
}

// What one scan of the reader states after a reported change came to.
enum class Scan { Nothing, Warning, Connected, End };

// The scan rule both phases share: every reader with a newly arrived card is
// tried in slot order. In the check phase the first connection is taken at
// once; in the wait phase only the last attempt of the scan counts, so a
// connection made earlier in the same scan is given up again. A run that is
// cut off connects to no further card.
Scan ScanReaders(CardWatchHost& host, TraceScope& scope, SCARDCONTEXT context, std::vector<SCARD_READERSTATEW>& states,
                 Phase phase, ScardCard& kept)
{
    Attempt last = Attempt::None;
    bool warningSeen = false;
    for (ULONG slot = 0; slot < states.size(); ++slot) {
        if (!CardNewlyArrived(states[slot])) continue;
        if (host.cutOff()) return Scan::End;
        ScardCard card;
        last = ConnectToCard(host, scope, context, slot, phase, card);
        switch (last) {
        case Attempt::QuietEnd:
        case Attempt::Failed: return Scan::End;
        case Attempt::Connected:
            kept = std::move(card);
            if (phase == Phase::Check) return Scan::Connected;
            break;
        case Attempt::Warning: warningSeen = true; break;
        case Attempt::None: break;
        }
    }
    if (last == Attempt::Connected) return Scan::Connected;
    kept.reset();
    return warningSeen ? Scan::Warning : Scan::Nothing;
}

// The outcome of a phase: a card to identify, the wait phase next, or the end.
enum class PhaseEnd { Identify, Warned, End };

PhaseEnd RunCheckPhase(CardWatchHost& host, TraceScope& scope, SCARDCONTEXT context,
                       std::vector<SCARD_READERSTATEW>& states, WaitPacer& pacer, ScardCard& card)
{
    bool warningSeen = false;
    for (;;) {
        QV_LOG(3, scope, "check SC status");
        const Waited waited = WaitOnce(host, scope, context, states, Phase::Check, pacer);
        if (waited == Waited::Timeout) continue;
        if (waited == Waited::QuietEnd) return PhaseEnd::End;
        if (waited == Waited::Error) {
            // The event goes out before its record here, unlike everywhere else.
            host.FireFailed(status::kWaitFailed);
            QV_LOG(1, scope, "*** SendDataReadyEventForCurrentCard(): Failed SCardGetStatusChange");
            return PhaseEnd::End;
        }
        const Scan scan = ScanReaders(host, scope, context, states, Phase::Check, card);
        if (scan == Scan::Connected) return PhaseEnd::Identify;
        if (scan == Scan::End) return PhaseEnd::End;
        warningSeen = warningSeen || scan == Scan::Warning;
        // A service whose waits never time out (a "change" that changes
        // nothing, or no reader to watch) must not keep the stop unseen.
        if (host.stopRequested()) return PhaseEnd::End;
        if (warningSeen) return PhaseEnd::Warned;
    }
}

// Entered after a connection warning.
PhaseEnd RunWaitPhase(CardWatchHost& host, TraceScope& scope, SCARDCONTEXT context,
                      std::vector<SCARD_READERSTATEW>& states, WaitPacer& pacer, ScardCard& card)
{
    QV_LOG(3, scope, "wait for a card to be present");
    for (;;) {
        const Waited waited = WaitOnce(host, scope, context, states, Phase::Wait, pacer);
        if (waited == Waited::Timeout) continue;
        if (waited == Waited::QuietEnd) return PhaseEnd::End;
        if (waited == Waited::Error) {
            host.FireFailed(status::kWaitFailed);
            return PhaseEnd::End;
        }
        const Scan scan = ScanReaders(host, scope, context, states, Phase::Wait, card);
        if (scan == Scan::Connected) return PhaseEnd::Identify;
        if (scan == Scan::End) return PhaseEnd::End;
        if (host.stopRequested()) return PhaseEnd::End;
    }
}

// Only "none" is refused: an index past the count still watches every reader.
bool ReaderTableUsable(CardWatchHost& host, TraceScope& scope)
{
    if (host.selectedIndex() == -1) {
        QV_LOG(1, scope, "*** SendDataReadyEventForCurrentCard(): reader not selected");
        host.FireFailed(status::kNoReaderSelected);
        return false;
    }
    for (ULONG slot = 0; slot < host.readerCount(); ++slot) {
        if (::SysStringLen(host.readerName(slot)) == 0) {
            QV_LOG(1, scope, "*** SendDataReadyEventForCurrentCard(): empty string in card reader array");
            host.FireFailed(status::kEmptyReaderName);
            return false;
        }
    }
    return true;
}

bool EstablishWatchContext(CardWatchHost& host, TraceScope& scope, WatchContext& context)
{
    const LONG established = context.Establish();
    if (established == static_cast<LONG>(SCARD_E_NO_SERVICE) ||
        established == static_cast<LONG>(SCARD_E_SERVICE_STOPPED)) {
        QV_LOG(1, scope,
               "*** SendDataReadyEventForCurrentCard(): Smart card service error.  Most likely no card reader is "
               "attached.");
        host.FireFailed(status::kServiceMissing);
        return false;
    }
    if (established != SCARD_S_SUCCESS) {
        QV_LOG(1, scope, "*** SendDataReadyEventForCurrentCard(): SCardEstablishContext() return: 0x%X",
               Hex(established));
        host.FireFailed(status::kContextFailed);
        return false;
    }
    return true;
}

// One reader state per watched reader, all unaware at first. The names are
// the run's copies of the reader table, which live as long as the run.
bool BuildReaderStates(CardWatchHost& host, TraceScope& scope, std::vector<SCARD_READERSTATEW>& states)
{
    const bool allocated = NoThrowOr(false, [&] {
        states.resize(host.readerCount());
        return true;
    });
    if (!allocated) {
        QV_LOG(1, scope, "*** SendDataReadyEventForCurrentCard(): malloc() failed");
        host.FireFailed(E_OUTOFMEMORY);
        return false;
    }
    for (ULONG slot = 0; slot < states.size(); ++slot) {
        states[slot] = SCARD_READERSTATEW{};
        states[slot].szReader = host.readerName(slot);
        states[slot].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    return true;
}

}  // namespace

LONG WatchContext::Establish() noexcept
{
    const LONG result = context_.Establish(SCARD_SCOPE_SYSTEM);
    if (result == SCARD_S_SUCCESS) host_.SetWatchContext(context_.get());
    return result;
}

LONG WatchContext::Release() noexcept
{
    if (!context_) return SCARD_S_SUCCESS;
    host_.SetWatchContext(0);
    return context_.Release();
}

void SendDataReadyEventForCurrentCard(CardWatchHost& host)
{
    TraceScope scope;
    QV_TRACE_ENTER(scope, "CSmartCardAuthPlugin::SendDataReadyEventForCurrentCard()");
    QV_LOG(3, scope, "selected reader: %d, # of reader: %d", static_cast<int>(host.selectedIndex()),
           static_cast<int>(host.readerCount()));
    if (!ReaderTableUsable(host, scope)) return;

    WatchContext context(host);
    if (!EstablishWatchContext(host, scope, context)) return;
    std::vector<SCARD_READERSTATEW> states;
    if (!BuildReaderStates(host, scope, states)) return;

    WaitPacer pacer(host.waitMs());
    ScardCard card;
    PhaseEnd end = RunCheckPhase(host, scope, context.get(), states, pacer, card);
    if (end == PhaseEnd::Warned) end = RunWaitPhase(host, scope, context.get(), states, pacer, card);
    if (end == PhaseEnd::Identify) IdentifyCardAndSendDataReady(host, scope, context, card, states);
}

}  // namespace quorvex
