#include "plugin/capture.h"

#include <mutex>

#include "plugin/connection_point.h"
#include "plugin/event_source.h"
#include "smartcard/card_watch.h"

namespace quorvex {

void Capture::SetThread(UniqueHandle thread, DWORD threadId) noexcept
{
    thread_ = std::move(thread);
    threadId_ = threadId;
}

void Capture::RunWorker() noexcept
{
    do {
        // Each run ends completely (disconnect, context released, the notice
        // after an unknown card) before the next one begins, so two runs
        // never hold a context at once and their events never interleave.
        SendDataReadyEventForCurrentCard(*this);
    } while (BeginNextRun());
}

bool Capture::BeginNextRun() noexcept
{
    std::unique_ptr<ReaderTableCopy> next;
    {
        const std::lock_guard<SrwLock> guard(lock_);
        if (!restart_ || !owner_.readers) {
            restart_.reset();
            phase_ = Phase::Ended;
            return false;
        }
        next = std::move(restart_);
        // The stop and cut-off flags belonged to the run that ended; a stop
        // made since then dropped the restart, so the new run starts clean.
        stop_.store(false);
        cutOff_.store(false);
        phase_ = Phase::Watching;
    }
    // The old names may be freed now: the ended run no longer points at them.
    run_ = std::move(*next);
    return true;
}

Capture::Restart Capture::RequestRestart(std::unique_ptr<ReaderTableCopy>& table) noexcept
{
    const std::lock_guard<SrwLock> guard(lock_);
    if (phase_ == Phase::Ended) return Restart::NeedsNewWorker;
    if (phase_ == Phase::Watching || restart_ || !owner_.readers) return Restart::Refused;
    restart_ = std::move(table);
    return Restart::Taken;
}

void Capture::RequestStop() noexcept
{
    const std::lock_guard<SrwLock> guard(lock_);
    stop_.store(true);
    restart_.reset();
}

void Capture::SilenceRun() noexcept
{
    const std::lock_guard<SrwLock> guard(lock_);
    stop_.store(true);
    cutOff_.store(true);
    restart_.reset();
    // The run raises nothing more: a later StartCapture is a restart.
    if (phase_ == Phase::Watching) phase_ = Phase::Ending;
}

void Capture::Abandon() noexcept
{
    const std::lock_guard<SrwLock> guard(lock_);
    owner_ = Owner{nullptr, nullptr};
    stop_.store(true);
    cutOff_.store(true);
    restart_.reset();
    // No watch context yet (0): nothing to cancel; the watch sees the stop
    // flag after its first wait.
    if (watchContext_ != 0) ::SCardCancel(watchContext_);
}

bool Capture::ended() const noexcept
{
    const std::lock_guard<SrwLock> guard(lock_);
    return phase_ == Phase::Ended;
}

void Capture::SelectReader(LONG index) noexcept
{
    run_.selected = index;
    const std::lock_guard<SrwLock> guard(lock_);
    if (owner_.readers) owner_.readers->Select(index);
}

void Capture::SetWatchContext(SCARDCONTEXT context) noexcept
{
    const std::lock_guard<SrwLock> guard(lock_);
    watchContext_ = context;
}

SinkSnapshot Capture::Sinks() noexcept
{
    const std::lock_guard<SrwLock> guard(lock_);
    if (!owner_.events || cutOff_.load()) return {};
    return owner_.events->Snapshot();
}

void Capture::MarkEnding() noexcept
{
    const std::lock_guard<SrwLock> guard(lock_);
    if (phase_ == Phase::Watching) phase_ = Phase::Ending;
}

void Capture::SendStatusChanged(LONG statusId) noexcept
{
    // A status that raises no event needs no sinks.
    SendStatusChangedTo(StatusCategory(statusId) == 0 ? SinkSnapshot() : Sinks(), statusId, &cutOff_);
}

void Capture::FireFailed(LONG statusCode) noexcept
{
    MarkEnding();
    RaiseFailed(Sinks(), statusCode, &cutOff_);
}

void Capture::FireDataReady(BSTR smartCardName, BSTR smartCardReader, BSTR cspName) noexcept
{
    MarkEnding();
    RaiseDataReady(Sinks(), smartCardName, smartCardReader, cspName, &cutOff_);
}

}  // namespace quorvex
