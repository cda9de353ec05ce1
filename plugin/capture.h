// One capture worker of a plug-in object and the runs of the card watch it
// makes: the first one StartCapture asked for, then each restart asked for
// while a run was ending. The object and the worker thread both hold it, so a
// worker that outlives a timed-out stop (and the object itself) only ever
// touches this.
//
// Threads: the worker thread runs the watch through the CardWatchHost half;
// any thread that calls into the object (the host's, or a handler on the
// worker's own thread) uses the request half. Everything both sides touch is
// under lock_ or atomic; run_ belongs to the worker thread alone once the
// worker is running.
#pragma once

#include <windows.h>
#include <winscard.h>

#include <atomic>
#include <memory>

#include "plugin/reader_table.h"
#include "plugin/sink_snapshot.h"
#include "smartcard/card_watch_host.h"
#include "win/srw_lock.h"
#include "win/unique_handle.h"

namespace quorvex {

class ConnectionPoint;

class Capture final : public CardWatchHost {
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

    // Set once, before the thread runs, by the thread that created it.
    void SetThread(UniqueHandle thread, DWORD threadId) noexcept;
    HANDLE thread() const noexcept { return thread_.get(); }
    DWORD threadId() const noexcept { return threadId_; }

    // The worker thread's whole life: runs until no restart is pending.
    void RunWorker() noexcept;

    enum class Restart { Refused, Taken, NeedsNewWorker };
    // StartCapture while this worker exists. A run that is still waiting for a
    // card refuses; a run that is ending (its final event raised, or stopped
    // from inside one of its events) takes the table for the next run, which
    // the worker starts once the current run has ended; a worker whose last
    // run is over needs a successor.
    Restart RequestRestart(std::unique_ptr<ReaderTableCopy>& table) noexcept;
    // The stop procedure's request: the watch ends at its next look at the
    // stop flag, and a restart asked for earlier is dropped.
    void RequestStop() noexcept;
    // A stop made on the worker's own thread, from inside an event: the
    // caller cannot wait, so the current run raises and connects nothing more.
    void SilenceRun() noexcept;
    // A stop that gave up waiting, or the object's destruction on the worker's
    // thread: the worker never reaches the object again, raises nothing, and
    // its pending wait is cancelled.
    void Abandon() noexcept;
    // True once the worker's last run has completely ended.
    bool ended() const noexcept;

    // CardWatchHost, for the worker thread.
    ULONG readerCount() const noexcept override { return run_.count; }
    BSTR readerName(ULONG slot) const noexcept override { return run_.name(slot); }
    LONG selectedIndex() const noexcept override { return run_.selected; }
    void SelectReader(LONG index) noexcept override;
    bool stopRequested() const noexcept override { return stop_.load(); }
    bool cutOff() const noexcept override { return cutOff_.load(); }
    void SetWatchContext(SCARDCONTEXT context) noexcept override;
    void SendStatusChanged(LONG statusId) noexcept override;
    void FireFailed(LONG statusCode) noexcept override;
    void FireDataReady(BSTR smartCardName, BSTR smartCardReader, BSTR cspName) noexcept override;

private:
    enum class Phase { Watching, Ending, Ended };

    // The object's sinks, taken under the lock while the object is known to
    // live; the event is raised outside it, so a blocking sink never holds up
    // a stop or a StartCapture.
    SinkSnapshot Sinks() noexcept;
    // The run's final event is about to be raised: from now on a StartCapture
    // is a restart.
    void MarkEnding() noexcept;
    // Takes the pending restart for the next run, or marks the worker ended.
    bool BeginNextRun() noexcept;

    mutable SrwLock lock_;
    Owner owner_;                               // lock_; null members once abandoned
    Phase phase_ = Phase::Watching;             // lock_
    std::unique_ptr<ReaderTableCopy> restart_;  // lock_; the next run's table
    SCARDCONTEXT watchContext_ = 0;             // lock_, so a cancel never reaches a released context
    std::atomic<bool> stop_{false};             // the run's stop flag
    std::atomic<bool> cutOff_{false};           // the run may no longer report or connect
    ReaderTableCopy run_;                       // the worker thread's
    UniqueHandle thread_;
    DWORD threadId_ = 0;
};

}  // namespace quorvex
