// One capture: what the plug-in object and its capture worker share while the
// worker runs. Both hold a reference, so a worker that outlives a timed-out
// stop (and the object itself) only ever touches its own session.
#pragma once

#include <windows.h>
#include <winscard.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "plugin/event_source.h"
#include "plugin/smart_card_auth_plugin.h"
#include "win/unique_bstr.h"

namespace quorvex {

class CaptureSession {
public:
    // Copies the object's reader table. Null when a name copy cannot be made:
    // a watch must never run with a name missing.
    static std::shared_ptr<CaptureSession> Create(CSmartCardAuthPlugin& owner) noexcept;

    explicit CaptureSession(CSmartCardAuthPlugin& owner) noexcept : owner_(&owner) {}
    CaptureSession(const CaptureSession&) = delete;
    CaptureSession& operator=(const CaptureSession&) = delete;

    // A handle of the worker's own, in the slot while its watch goes on.
    // Whoever exchanges it out first closes it.
    std::atomic<HANDLE> worker{nullptr};
    // Takes the handle out of the slot: the watch is over, and StartCapture
    // no longer counts this worker as running.
    void MarkOver() noexcept;
    // Asks the watch to end; read after every timed-out wait.
    std::atomic<bool> stop{false};

    // The reader table as it stood when the capture started: the host leaves
    // it alone while a capture runs.
    ULONG readerCount() const noexcept { return readerCount_; }
    BSTR readerName(ULONG slot) const noexcept { return slot < kReaderSlots ? readerNames_[slot].get() : nullptr; }
    LONG selectedIndex() const noexcept { return selectedIndex_; }
    // Also written back into the object, unless the session was abandoned.
    void SetSelectedIndex(LONG index) noexcept;

    // The context of the running watch, kept for a cancelling stop. Cleared
    // before the watch releases it, under the same lock as the cancel, so a
    // cancel never reaches a released (and possibly reused) context.
    void SetWatchContext(SCARDCONTEXT context) noexcept;
    void ClearWatchContext() noexcept { SetWatchContext(0); }

    // After a timed-out stop: the object may be destroyed next, so the worker
    // must no longer reach it. Cancels the watch's pending wait.
    void AbandonAndCancel() noexcept;
    bool abandoned() const noexcept { return abandoned_.load(); }

    // Events of the worker. Sinks are taken from the object under the lock;
    // the events are raised outside it, so a blocking sink never holds up the
    // stop procedure. An abandoned session raises nothing. Failed and
    // DataReady end the watch: the capture counts as over from the moment one
    // is raised, so a host that answers it with StartCapture gets a new
    // capture while this worker still disconnects and releases its context.
    void SendStatusChanged(LONG statusId) noexcept;
    void FireFailed(LONG statusCode) noexcept;
    void FireDataReady(BSTR smartCardName, BSTR smartCardReader, BSTR cspName) noexcept;

private:
    SinkSnapshot Sinks() noexcept;

    std::mutex lock_;
    CSmartCardAuthPlugin* owner_;  // null once abandoned
    std::atomic<bool> abandoned_{false};
    SCARDCONTEXT watchContext_ = 0;

    UniqueBstr readerNames_[kReaderSlots];
    ULONG readerCount_ = 0;
    LONG selectedIndex_ = -1;
};

}  // namespace quorvex
