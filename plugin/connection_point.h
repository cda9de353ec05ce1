// A connection point of the plug-in object: the connection list of one
// outgoing interface, sharing the object's reference count.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include "plugin/connection_list.h"
#include "plugin/sink_snapshot.h"
#include "win/com_ptr.h"
#include "win/srw_lock.h"
#include "win/thread_annotations.h"

namespace quorvex {

class ConnectionPoint final : public IConnectionPoint {
public:
    // `container` is the object's IConnectionPointContainer; its AddRef and
    // Release are the object's own, so the connection point shares its count.
    ConnectionPoint(IConnectionPointContainer* container, REFIID servedInterface) noexcept;
    ~ConnectionPoint();
    ConnectionPoint(const ConnectionPoint&) = delete;
    ConnectionPoint& operator=(const ConnectionPoint&) = delete;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IConnectionPoint
    STDMETHODIMP GetConnectionInterface(IID* iid) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override;
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override EXCLUDES(lock_);
    STDMETHODIMP Unadvise(DWORD cookie) override EXCLUDES(lock_);
    STDMETHODIMP EnumConnections(IEnumConnections** connections) override EXCLUDES(lock_);

    const IID& servedInterface() const noexcept { return iid_; }

    // The connections at this moment, in slot order, each with a reference of
    // its own: an event pass walks this copy, so sinks may advise and unadvise
    // (from any thread, or from inside a handler) while it runs; a sink
    // unadvised meanwhile is skipped.
    SinkSnapshot Snapshot() const EXCLUDES(lock_);

    // Releases every sink still held (object destruction).
    void ReleaseAll() noexcept EXCLUDES(lock_);

private:
    // Rebuilds the published array from the list (lock held). The array it
    // replaces goes to `replaced`, to be let go of outside the lock: the last
    // reference on a sink may call back into this connection point.
    bool Publish(SinkSnapshot& replaced) noexcept REQUIRES(lock_);

    IConnectionPointContainer* container_;  // not owned: it owns us
    IID iid_;
    // Held only while the list is read or changed, never while a sink is
    // called (AddRef and Release included): the last of the lock order of
    // smart_card_auth_plugin.h.
    mutable SrwLock lock_;
    ConnectionList list_ GUARDED_BY(lock_);
    SinkSnapshot published_ GUARDED_BY(lock_);  // the list's sinks as event passes see them
};

}  // namespace quorvex
