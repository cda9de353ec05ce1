#define QV_LOG_SOURCE "SmartCardAuthPlugin.cpp"
// SendDataReadyEventForCurrentCard up to a successful connection: the checks,
// the watch context, the check phase and the wait phase.
#include "smartcard/card_watch.h"

#include <new>

#include "logging/log.h"
#include "logging/system_error_text.h"
#include "plugin/capture_session.h"
#include "plugin/status_ids.h"

namespace quorvex {
namespace {

constexpr DWORD kWaitMs = 100;

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
    void BeforeWait() noexcept
    {
        const ULONGLONG sinceLast = ::GetTickCount64() - lastStart_;
        if (lastStart_ != 0 && sinceLast < kWaitMs) {
            if (quickAnswers_++ > 0) ::Sleep(static_cast<DWORD>(kWaitMs - sinceLast));
        } else {
            quickAnswers_ = 0;
        }
        lastStart_ = ::GetTickCount64();
    }

private:
    ULONGLONG lastStart_ = 0;
    unsigned quickAnswers_ = 0;  // waits in a row that came back early
};

enum class Waited { Change, Timeout, QuietEnd, Error };

// One wait with its record and the stop rules both phases share. The stop flag
// is read after a wait that timed out (and by the phases after a scan that
// leads nowhere); an abandoned session ends at once.
Waited WaitOnce(CaptureSession& session, TraceScope& scope, SCARDCONTEXT context,
                std::vector<SCARD_READERSTATEW>& states, Phase phase, WaitPacer& pacer)
{
    pacer.BeforeWait();
    const LONG result = ::SCardGetStatusChangeW(context, kWaitMs, states.data(), static_cast<DWORD>(states.size()));
    QV_LOG(3, scope, "SCardGetStatusChange() return: 0x%X", Hex(result));
    if (session.abandoned()) return Waited::QuietEnd;
    if (result == static_cast<LONG>(SCARD_E_TIMEOUT)) return session.stop.load() ? Waited::QuietEnd : Waited::Timeout;
    if (phase == Phase::Wait) QV_LOG(3, scope, "SC status has change");
    if (result == static_cast<LONG>(SCARD_E_CANCELLED)) return Waited::QuietEnd;
    return result == SCARD_S_SUCCESS ? Waited::Change : Waited::Error;
}

// Connects to the card newly arrived in `slot`, which becomes the selected
// reader, and acts on the result as the phase requires.
Attempt ConnectToCard(CaptureSession& session, TraceScope& scope, SCARDCONTEXT context, ULONG slot, Phase phase,
                      ScardCard& card)
{
    session.SetSelectedIndex(static_cast<LONG>(slot));
    SCARDHANDLE handle = 0;
    DWORD protocol = 0;
    const LONG result = ::SCardConnectW(context, session.readerName(slot), SCARD_SHARE_SHARED,
                                        SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle, &protocol);
    QV_LOG(3, scope, "SCardConnect() return: 0x%X", Hex(result));

    switch (static_cast<DWORD>(result)) {
    case SCARD_S_SUCCESS:
        *card.put() = handle;
        return Attempt::Connected;
    case static_cast<DWORD>(SCARD_E_CANCELLED):
    case static_cast<DWORD>(SCARD_E_SYSTEM_CANCELLED):
    case static_cast<DWORD>(SCARD_P_SHUTDOWN):
    case static_cast<DWORD>(SCARD_E_SERVICE_STOPPED):
    case static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER):
        return Attempt::QuietEnd;
    case static_cast<DWORD>(SCARD_W_REMOVED_CARD):
        session.SendStatusChanged(status::kCardRemoved);
        return Attempt::Warning;
    case static_cast<DWORD>(SCARD_W_UNRESPONSIVE_CARD):
    case static_cast<DWORD>(SCARD_W_UNPOWERED_CARD):
        session.SendStatusChanged(status::kCardUnresponsive);
        return Attempt::Warning;
    case static_cast<DWORD>(SCARD_W_UNSUPPORTED_CARD):
        session.SendStatusChanged(status::kCardUnsupported);
        return Attempt::Warning;
    default:
        if (phase == Phase::Check) {
            QV_LOG(1, scope, "*** SendDataReadyEventForCurrentCard(): SCardConnect() return unknown error: 0x%X [%S]",
                   Hex(result), GetSystemErrorText(static_cast<DWORD>(result)).c_str());
        } else {
            QV_LOG(1, scope, "*** SendDataReadyEventForCurrentCard(): SCardConnect() return unknown error: 0x%X",
                   Hex(result));
        }
        session.FireFailed(status::kConnectFailed);
        return Attempt::Failed;
    }
}

// Entered after a connection warning. Only the last attempt of a scan counts:
// a connection made earlier in the same scan is given up again.
void RunWaitPhase(CaptureSession& session, TraceScope& scope, WatchContext& context,
                  std::vector<SCARD_READERSTATEW>& states, WaitPacer& pacer)
{
    QV_LOG(3, scope, "wait for a card to be present");
    for (;;) {
        const Waited waited = WaitOnce(session, scope, context.get(), states, Phase::Wait, pacer);
        if (waited == Waited::Timeout) continue;
        if (waited == Waited::QuietEnd) return;
        if (waited == Waited::Error) {
            session.FireFailed(status::kWaitFailed);
            return;
        }

        Attempt last = Attempt::None;
        ScardCard kept;
        for (ULONG slot = 0; slot < states.size(); ++slot) {
            if (!CardNewlyArrived(states[slot])) continue;
            ScardCard card;
            last = ConnectToCard(session, scope, context.get(), slot, Phase::Wait, card);
            if (last == Attempt::QuietEnd || last == Attempt::Failed) return;
            if (last == Attempt::Connected) kept = std::move(card);
        }
        if (last == Attempt::Connected) {
            IdentifyCardAndSendDataReady(session, scope, context, kept, states);
            return;
        }
        kept.reset();
        // A service whose waits never time out must not keep the stop unseen.
        if (session.stop.load()) return;
    }
}

}  // namespace

LONG WatchContext::Establish() noexcept
{
    const LONG result = context_.Establish(SCARD_SCOPE_SYSTEM);
    if (result == SCARD_S_SUCCESS) session_.SetWatchContext(context_.get());
    return result;
}

LONG WatchContext::Release() noexcept
{
    if (!context_) return SCARD_S_SUCCESS;
    session_.ClearWatchContext();
    return context_.Release();
}

void SendDataReadyEventForCurrentCard(CaptureSession& session)
{
    TraceScope scope;
    QV_TRACE_ENTER(scope, "CSmartCardAuthPlugin::SendDataReadyEventForCurrentCard()");
    QV_LOG(3, scope, "selected reader: %d, # of reader: %d", static_cast<int>(session.selectedIndex()),
           static_cast<int>(session.readerCount()));

    // Only "none" is refused: an index past the count still watches every reader.
    if (session.selectedIndex() == -1) {
        QV_LOG(1, scope, "*** SendDataReadyEventForCurrentCard(): reader not selected");
        session.FireFailed(status::kNoReaderSelected);
        return;
    }
    const ULONG watched = session.readerCount();
    for (ULONG slot = 0; slot < watched; ++slot) {
        if (::SysStringLen(session.readerName(slot)) == 0) {
            QV_LOG(1, scope, "*** SendDataReadyEventForCurrentCard(): empty string in card reader array");
            session.FireFailed(status::kEmptyReaderName);
            return;
        }
    }

    WatchContext context(session);
    const LONG established = context.Establish();
    if (established == static_cast<LONG>(SCARD_E_NO_SERVICE) ||
        established == static_cast<LONG>(SCARD_E_SERVICE_STOPPED)) {
        QV_LOG(1, scope,
               "*** SendDataReadyEventForCurrentCard(): Smart card service error.  Most likely no card reader is "
               "attached.");
        session.FireFailed(status::kServiceMissing);
        return;
    }
    if (established != SCARD_S_SUCCESS) {
        QV_LOG(1, scope, "*** SendDataReadyEventForCurrentCard(): SCardEstablishContext() return: 0x%X",
               Hex(established));
        session.FireFailed(status::kContextFailed);
        return;
    }

    // The names are the session's copies of the reader table, which live as
    // long as the run.
    std::vector<SCARD_READERSTATEW> states;
    try {
        states.resize(watched);
    } catch (const std::bad_alloc&) {
        QV_LOG(1, scope, "*** SendDataReadyEventForCurrentCard(): malloc() failed");
        session.FireFailed(E_OUTOFMEMORY);
        return;
    }
    for (ULONG slot = 0; slot < watched; ++slot) {
        states[slot] = SCARD_READERSTATEW{};
        states[slot].szReader = session.readerName(slot);
        states[slot].dwCurrentState = SCARD_STATE_UNAWARE;
    }

    // Check phase.
    WaitPacer pacer;
    bool warningSeen = false;
    for (;;) {
        QV_LOG(3, scope, "check SC status");
        const Waited waited = WaitOnce(session, scope, context.get(), states, Phase::Check, pacer);
        if (waited == Waited::Timeout) continue;
        if (waited == Waited::QuietEnd) return;
        if (waited == Waited::Error) {
            // The event goes out before its record here, unlike everywhere else.
            session.FireFailed(status::kWaitFailed);
            QV_LOG(1, scope, "*** SendDataReadyEventForCurrentCard(): Failed SCardGetStatusChange");
            return;
        }
        for (ULONG slot = 0; slot < watched; ++slot) {
            if (!CardNewlyArrived(states[slot])) continue;
            ScardCard card;
            switch (ConnectToCard(session, scope, context.get(), slot, Phase::Check, card)) {
            case Attempt::Connected:
                IdentifyCardAndSendDataReady(session, scope, context, card, states);
                return;
            case Attempt::Warning:
                warningSeen = true;
                break;
            case Attempt::QuietEnd:
            case Attempt::Failed:
                return;
            case Attempt::None:
                break;
            }
        }
        // A service whose waits never time out (a "change" that changes
        // nothing, or no reader to watch) must not keep the stop unseen.
        if (session.stop.load()) return;
        if (warningSeen) break;
    }

    RunWaitPhase(session, scope, context, states, pacer);
}

}  // namespace quorvex
