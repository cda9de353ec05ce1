#include "plugin/capture.h"

#include <cassert>

#include "plugin/capture_timing.h"
#include "plugin/connection_point.h"
#include "smartcard/card_watch.h"

namespace quorvex {

void Capture::SetThread(UniqueHandle thread, DWORD threadId) noexcept
{
    thread_ = std::move(thread);
    threadId_ = threadId;
}

CaptureState Capture::Apply(CaptureVerb verb, std::unique_ptr<ReaderTableCopy>& table) noexcept
{
    const CaptureState before = state_;
    const CaptureState after = NextCaptureState(before, verb);
    assert(after != CaptureState::Invalid);
    if (after == CaptureState::Invalid) return before;
    state_ = after;
    if (!RestartPending(before) && RestartPending(after)) {
        restart_ = std::move(table);
    } else if (RestartPending(before) && !RestartPending(after)) {
        table = std::move(restart_);
    }
    assert(RestartPending(state_) == (restart_ != nullptr));
    return before;
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
        const ExclusiveLock guard(lock_);
        Apply(CaptureVerb::RunEnd, next);
        if (state_ != CaptureState::Watching) return false;
    }
    // The old names may be freed now: the ended run no longer points at them.
    run_ = std::move(*next);
    return true;
}

Capture::Restart Capture::RequestRestart(std::unique_ptr<ReaderTableCopy>& table) noexcept
{
    const ExclusiveLock guard(lock_);
    const CaptureState before = Apply(CaptureVerb::Restart, table);
    if (before == CaptureState::Ended) return Restart::NeedsNewWorker;
    return state_ != before ? Restart::Taken : Restart::Refused;
}

void Capture::RequestStop() noexcept
{
    std::unique_ptr<ReaderTableCopy> dropped;
    const ExclusiveLock guard(lock_);
    Apply(CaptureVerb::Stop, dropped);
}

void Capture::SilenceRun() noexcept
{
    std::unique_ptr<ReaderTableCopy> dropped;
    const ExclusiveLock guard(lock_);
    Apply(CaptureVerb::Silence, dropped);
}

void Capture::Abandon() noexcept
{
    std::unique_ptr<ReaderTableCopy> dropped;
    SCARDCONTEXT context = 0;
    {
        const ExclusiveLock guard(lock_);
        Apply(CaptureVerb::Abandon, dropped);
        // No watch context yet (0): nothing to cancel; the watch sees the
        // stop after its first wait.
        context = watchContext_;
        if (context != 0) ++cancelsUnderWay_;
    }
    if (context == 0) return;
    // Outside the lock: the service may take its time over a cancel, and the
    // worker must meanwhile be free to ask whether it has been cut off.
    ::SCardCancel(context);
    const ExclusiveLock guard(lock_);
    if (--cancelsUnderWay_ == 0) cancelsDone_.WakeAll();
}

bool Capture::ended() const noexcept
{
    const SharedLock guard(lock_);
    return state_ == CaptureState::Ended;
}

void Capture::SelectReader(LONG index) noexcept
{
    run_.selected = index;
    const SharedLock guard(lock_);
    if (ReachesObject(state_)) owner_.readers->Select(index);
}

DWORD Capture::waitMs() const noexcept { return Timing().watchWaitMs.load(); }

bool Capture::stopRequested() const noexcept
{
    const SharedLock guard(lock_);
    return StopAsked(state_);
}

bool Capture::cutOff() const noexcept
{
    const SharedLock guard(lock_);
    return CutOff(state_);
}

void Capture::SetWatchContext(SCARDCONTEXT context) noexcept
{
    const ExclusiveLock guard(lock_);
    while (context == 0 && cancelsUnderWay_ > 0) cancelsDone_.Wait(lock_);
    watchContext_ = context;
}

SinkSnapshot Capture::Sinks() noexcept
{
    const SharedLock guard(lock_);
    if (!ReachesObject(state_) || CutOff(state_)) return {};
    return owner_.events->Snapshot();
}

void Capture::MarkEnding() noexcept
{
    std::unique_ptr<ReaderTableCopy> dropped;
    const ExclusiveLock guard(lock_);
    Apply(CaptureVerb::FinalEvent, dropped);
}

void Capture::SendStatusChanged(LONG statusId) noexcept
{
    // A status that raises no event needs no sinks.
    SendStatusChangedTo(StatusCategory(statusId) == 0 ? SinkSnapshot() : Sinks(), statusId, this);
}

void Capture::FireFailed(LONG statusCode) noexcept
{
    MarkEnding();
    RaiseFailed(Sinks(), statusCode, this);
}

void Capture::FireDataReady(BSTR smartCardName, BSTR smartCardReader, BSTR cspName) noexcept
{
    MarkEnding();
    RaiseDataReady(Sinks(), smartCardName, smartCardReader, cspName, this);
}

}  // namespace quorvex
