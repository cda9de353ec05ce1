// What the card watch needs of the capture that runs it: the readers to
// watch, a way to report, and the capture's stop and cut-off state. The
// capture (plugin/) implements it, so the watch knows nothing of the plug-in
// object, its sinks or its threads.
#pragma once

#include <windows.h>
#include <winscard.h>

namespace quorvex {

class CardWatchHost {
public:
    // The reader table as it stood when this run was asked for; the names
    // live as long as the run.
    virtual ULONG readerCount() const noexcept = 0;
    virtual BSTR readerName(ULONG slot) const noexcept = 0;
    virtual LONG selectedIndex() const noexcept = 0;
    // The reader in which a card was found becomes the selected one.
    virtual void SelectReader(LONG index) noexcept = 0;

    // The length of each status-change wait, read once per run.
    virtual DWORD waitMs() const noexcept = 0;

    // Asks the watch to end quietly; read after every timed-out wait.
    virtual bool stopRequested() const noexcept = 0;
    // The run may no longer report or connect: a stop gave up on it, or it
    // was stopped from inside one of its own events. It ends at once and only
    // releases what it holds.
    virtual bool cutOff() const noexcept = 0;

    // The context of the running watch, kept for a cancelling stop; 0 before
    // the watch releases it, which returns once no cancel is under way on it.
    virtual void SetWatchContext(SCARDCONTEXT context) noexcept = 0;

    virtual void SendStatusChanged(LONG statusId) noexcept = 0;
    // Failed and DataReady are a run's final events: from the moment one is
    // raised the run is ending, and the capture may be restarted.
    virtual void FireFailed(LONG statusCode) noexcept = 0;
    virtual void FireDataReady(BSTR smartCardName, BSTR smartCardReader, BSTR cspName) noexcept = 0;

protected:
    ~CardWatchHost() = default;
};

}  // namespace quorvex
