// SCardGetStatusChangeW: blocks until a reader's state differs from what the
// caller last saw, the timeout passes, or the wait is cancelled.
#include "service.h"

#include "guarded.h"

#include <cstring>

using namespace scardsim;

namespace {

const wchar_t kPnpNotification[] = L"\\\\?PnP?\\Notification";
constexpr DWORD kFlagsMask = 0xFFFF;

struct ReaderView {
    DWORD flags = 0;
    WORD counter = 0;
    const Card* card = nullptr;
};

ReaderView ViewOf(const Service& service, const Reader* reader)
{
    ReaderView view;
    if (!reader) {
        // The platform marks unknown readers ignorable so that a caller that
        // copies the event state back does not spin on them.
        view.flags = SCARD_STATE_UNKNOWN | SCARD_STATE_IGNORE;
        return view;
    }
    view.counter = reader->eventCounter;
    if (!reader->card) {
        view.flags = SCARD_STATE_EMPTY;
        return view;
    }
    view.card = &*reader->card;
    view.flags = SCARD_STATE_PRESENT;
    if (reader->card->flags & SIM_CARD_MUTE) view.flags |= SCARD_STATE_MUTE;
    DWORD shared, exclusive;
    service.CountHandles(*reader, shared, exclusive);
    if (exclusive) {
        view.flags |= SCARD_STATE_EXCLUSIVE;
    } else if (shared) {
        view.flags |= SCARD_STATE_INUSE;
    }
    return view;
}

bool Differs(DWORD current, DWORD flags, WORD counter)
{
    if (current == SCARD_STATE_UNAWARE) return true;
    if ((current & kFlagsMask & ~SCARD_STATE_CHANGED) != flags) return true;
    // A zero counter in the caller's record means "no counter known yet".
    const WORD seen = HIWORD(current);
    return seen != 0 && seen != counter;
}

// Fills every record's event state and ATR; true when one of them changed.
bool Evaluate(Service& service, SCARD_READERSTATEW* records, DWORD count)
{
    bool any = false;
    for (DWORD i = 0; i < count; ++i) {
        SCARD_READERSTATEW& record = records[i];
        if (record.dwCurrentState & SCARD_STATE_IGNORE) continue;
        if (SameName(record.szReader, kPnpNotification)) {
            // The pseudo reader reports the number of readers in its high word.
            const WORD readers = static_cast<WORD>(service.readers.size());
            const bool changed = record.dwCurrentState == SCARD_STATE_UNAWARE ||
                                 HIWORD(record.dwCurrentState) != readers;
            record.dwEventState = MAKELONG(changed ? SCARD_STATE_CHANGED : 0, readers);
            record.cbAtr = 0;
            any |= changed;
            continue;
        }
        const ReaderView view = ViewOf(service, service.FindReader(record.szReader));
        const bool changed = Differs(record.dwCurrentState, view.flags, view.counter);
        record.dwEventState = MAKELONG(view.flags | (changed ? SCARD_STATE_CHANGED : 0), view.counter);
        if (view.card && !(view.card->flags & SIM_CARD_MUTE)) {
            record.cbAtr = static_cast<DWORD>(view.card->atr.size());
            std::memcpy(record.rgbAtr, view.card->atr.data(), view.card->atr.size());
        } else {
            record.cbAtr = 0;
        }
        any |= changed;
    }
    return any;
}

// Keeps SimPendingWaits() exact on every way out of the wait.
class PendingWait {
public:
    explicit PendingWait(Service& service) : service_(service)
    {
        ++service_.pendingWaits;
        service_.waitersChanged.notify_all();
    }
    ~PendingWait()
    {
        --service_.pendingWaits;
        service_.waitersChanged.notify_all();
    }
    PendingWait(const PendingWait&) = delete;
    PendingWait& operator=(const PendingWait&) = delete;

private:
    Service& service_;
};

}  // namespace

LONG WINAPI SCardGetStatusChangeW(SCARDCONTEXT hContext, DWORD dwTimeout, LPSCARD_READERSTATEW rgReaderStates,
                                  DWORD cReaders)
{
    return GuardedCall([&]() -> LONG {
        if (auto injected = EnterCall("SCardGetStatusChangeW")) return *injected;
        Service& service = Instance();
        std::unique_lock lock(service.mutex);
        if (LONG result = service.ServiceResult()) return result;
        auto context = service.contexts.find(hContext);
        if (context == service.contexts.end()) return SCARD_E_INVALID_HANDLE;
        if (cReaders && !rgReaderStates) return SCARD_E_INVALID_PARAMETER;
        for (DWORD i = 0; i < cReaders; ++i) {
            if (!rgReaderStates[i].szReader) return SCARD_E_INVALID_PARAMETER;
        }

        const Hostility hostility = service.TakeHostility("SCardGetStatusChangeW");
        if (hostility.mode == SIM_HOSTILE_WAIT_NO_CHANGE || hostility.mode == SIM_HOSTILE_WAIT_CHANGED_FLAG) {
            const DWORD flag = hostility.mode == SIM_HOSTILE_WAIT_CHANGED_FLAG ? SCARD_STATE_CHANGED : 0;
            for (DWORD i = 0; i < cReaders; ++i)
                rgReaderStates[i].dwEventState = rgReaderStates[i].dwCurrentState | flag;
            return SCARD_S_SUCCESS;
        }
        const bool hang = hostility.mode == SIM_HOSTILE_WAIT_HANG;

        const DWORD cancelsAtStart = context->second.cancels;
        const bool forever = dwTimeout == INFINITE || hang;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : dwTimeout);
        PendingWait pending(service);
        bool timedOut = false;
        for (;;) {
            // Looked up again after every wake-up: another thread may have released
            // the context or reset the service meanwhile.
            context = service.contexts.find(hContext);
            if (context == service.contexts.end()) return SCARD_E_INVALID_HANDLE;
            if (context->second.cancels != cancelsAtStart) return SCARD_E_CANCELLED;
            if (hang) {
                service.changed.wait(lock);
                continue;
            }
            if (LONG result = service.ServiceResult()) return result;
            if (Evaluate(service, rgReaderStates, cReaders)) return SCARD_S_SUCCESS;
            // Evaluated once more after the timeout, so that a change that raced
            // with the deadline is still reported.
            if (timedOut) return SCARD_E_TIMEOUT;
            if (forever) {
                service.changed.wait(lock);
            } else {
                timedOut = service.changed.wait_until(lock, deadline) == std::cv_status::timeout;
            }
        }
    });
}
