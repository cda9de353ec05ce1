// One capture worker of a plug-in object and the runs of the card watch it
// makes: the first one StartCapture asked for, then each restart asked for
// while a run was ending. The object and the worker thread both hold it, so a
// worker that outlives a timed-out stop (and the object itself) only ever
// touches this.
//
// Threads: the worker thread runs the watch through the CardWatchHost half;
// any thread that calls into the object (the host's, or a handler on the
// worker's own thread) uses the request half. What both sides touch is under
// lock_, and every change of the capture's state goes through the table of
// plugin/capture_state.h; run_ belongs to the worker thread alone once the
// worker is running.
#pragma once

#include <windows.h>
#include <winscard.h>

#include <memory>

#include "plugin/capture_state.h"
#include "plugin/event_source.h"
#include "plugin/reader_table.h"
#include "plugin/sink_snapshot.h"
#include "smartcard/card_watch_host.h"
#include "win/condition_variable.h"
#include "win/srw_lock.h"
#include "win/thread_annotations.h"
#include "win/unique_handle.h"

namespace quorvex {

class ConnectionPoint;

class Capture final : public CardWatchHost, public PassCutOff {
public:
    // What the worker reaches of its object: the reader table, whose
    // selected index the watch sets, and the event connection point.
    struct Owner {
        ReaderTable* readers;
        ConnectionPoint* events;
    };
    Capture(Owner owner, ReaderTableCopy&& table) noexcept : owner_(owner), run_(std::move(table)) {}
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Set once, before the thread runs, by the thread that created it; read
    // only after that.
    void SetThread(UniqueHandle thread, DWORD threadId) noexcept;
    HANDLE thread() const noexcept { return thread_.get(); }
    DWORD threadId() const noexcept { return threadId_; }

    // The worker thread's whole life: runs until no restart is pending.
    void RunWorker() noexcept EXCLUDES(lock_);

    enum class Restart { Refused, Taken, NeedsNewWorker };
    // StartCapture while this worker exists. A run that is still waiting for a
    // card refuses; a run that is ending (its final event raised, or stopped
    // from inside one of its events) takes the table for the next run, which
    // the worker starts once the current run has ended; a worker whose last
    // run is over needs a successor.
    Restart RequestRestart(std::unique_ptr<ReaderTableCopy>& table) noexcept EXCLUDES(lock_);
    // The stop procedure's request: the watch ends at its next look at the
    // stop flag, and a restart asked for earlier is dropped.
    void RequestStop() noexcept EXCLUDES(lock_);
    // A stop made on the worker's own thread, from inside an event: the
    // caller cannot wait, so the current run raises and connects nothing more.
    void SilenceRun() noexcept EXCLUDES(lock_);
    // A stop that gave up waiting, or the object's destruction on the worker's
    // thread: the worker never reaches the object again, raises nothing, and
    // its pending wait is cancelled.
    void Abandon() noexcept EXCLUDES(lock_);
    // True once the worker's last run has completely ended.
    bool ended() const noexcept EXCLUDES(lock_);

    // CardWatchHost, for the worker thread.
    ULONG readerCount() const noexcept override { return run_.count; }
    BSTR readerName(ULONG slot) const noexcept override { return run_.name(slot); }
    LONG selectedIndex() const noexcept override { return run_.selected; }
    void SelectReader(LONG index) noexcept override EXCLUDES(lock_);
    DWORD waitMs() const noexcept override;
    bool stopRequested() const noexcept override EXCLUDES(lock_);
    // Also PassCutOff: asked before each sink call of the run's events.
    bool cutOff() const noexcept override EXCLUDES(lock_);
    void SetWatchContext(SCARDCONTEXT context) noexcept override EXCLUDES(lock_);
    void SendStatusChanged(LONG statusId) noexcept override EXCLUDES(lock_);
    void FireFailed(LONG statusCode) noexcept override EXCLUDES(lock_);
    void FireDataReady(BSTR smartCardName, BSTR smartCardReader, BSTR cspName) noexcept override EXCLUDES(lock_);

private:
    // Moves the state along the table (plugin/capture_state.h) and returns
    // the state it left. `table` goes in with a restart's table, which the
    // move keeps when it makes a restart pending; it comes out with the table
    // the move let go of: the next run's, or a dropped restart's, to be freed
    // after the lock is given back.
    CaptureState Apply(CaptureVerb verb, std::unique_ptr<ReaderTableCopy>& table) noexcept REQUIRES(lock_);
    // The object's sinks, taken under the lock while the object is known to
    // live; the event is raised outside it, so a blocking sink never holds up
    // a stop or a StartCapture.
    SinkSnapshot Sinks() noexcept EXCLUDES(lock_);
    // The run's final event is about to be raised: from now on a StartCapture
    // is a restart.
    void MarkEnding() noexcept EXCLUDES(lock_);
    // Takes the pending restart for the next run, or marks the worker ended.
    bool BeginNextRun() noexcept EXCLUDES(lock_);

    // Taken after the object's captureLock_ (smart_card_auth_plugin.h), and
    // held while the event connection point's lock is taken.
    mutable SrwLock lock_;
    CaptureState state_ GUARDED_BY(lock_) = CaptureState::Watching;
    // Reached only while the state says the object lives (ReachesObject).
    const Owner owner_;
    // The next run's table: held exactly in the restart-pending states.
    std::unique_ptr<ReaderTableCopy> restart_ GUARDED_BY(lock_);
    // The running watch's context, so that an abandoning stop can cancel it.
    SCARDCONTEXT watchContext_ GUARDED_BY(lock_) = 0;
    // SCardCancel calls under way on watchContext_, made outside the lock:
    // the watch withdraws its context (and may then release it) only once
    // they are back, so a cancel never reaches a released context.
    int cancelsUnderWay_ GUARDED_BY(lock_) = 0;
    ConditionVariable cancelsDone_;  // with lock_
    ReaderTableCopy run_;            // the worker thread's
    UniqueHandle thread_;
    DWORD threadId_ = 0;
};

}  // namespace quorvex
