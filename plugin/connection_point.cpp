#include "plugin/connection_point.h"

#include <memory>
#include <utility>
#include <vector>

#include "plugin/capture_timing.h"
#include "plugin/enum_connections.h"
#include "win/hresult.h"

namespace quorvex {

ConnectionPoint::ConnectionPoint(IConnectionPointContainer* container, REFIID servedInterface) noexcept
    : container_(container),
      iid_(servedInterface)
{
}

ConnectionPoint::~ConnectionPoint() { ReleaseAll(); }

STDMETHODIMP ConnectionPoint::QueryInterface(REFIID iid, void** out)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IConnectionPoint)) return E_NOINTERFACE;
    *out = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
}

// The object's own count: a connection point lives and dies with the object.
STDMETHODIMP_(ULONG) ConnectionPoint::AddRef() { return container_->AddRef(); }
STDMETHODIMP_(ULONG) ConnectionPoint::Release() { return container_->Release(); }

STDMETHODIMP ConnectionPoint::GetConnectionInterface(IID* iid)
{
    if (!iid) return E_POINTER;
    *iid = iid_;
    return S_OK;
}

STDMETHODIMP ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container)
{
    if (!container) return E_POINTER;
    *container = container_;
    container_->AddRef();
    return S_OK;
}

STDMETHODIMP ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie)
{
    if (cookie) *cookie = 0;
    if (!sink || !cookie) return E_POINTER;

    ComPtr<IUnknown> served;
    const HRESULT hr = sink->QueryInterface(iid_, served.put_void());
    if (hr == E_NOINTERFACE) return CONNECT_E_CANNOTCONNECT;
    if (FAILED(hr)) return hr;
    if (!served) return CONNECT_E_CANNOTCONNECT;

    // The connection takes over the reference that the sink answered with.
    ComPtr<SinkConnection> connection = SinkConnection::Create(std::move(served));
    if (!connection) return CONNECT_E_ADVISELIMIT;

    DWORD added = 0;
    SinkSnapshot replaced;
    {
        const ExclusiveLock guard(lock_);
        added = list_.Add(connection);
        // A sink that event passes would not see is not connected.
        if (added != 0 && !Publish(replaced)) {
            connection = list_.Remove(added);
            added = 0;
        }
    }
    // Without a slot the sink's reference goes back when `connection` ends,
    // outside the lock.
    if (added == 0) return CONNECT_E_ADVISELIMIT;
    *cookie = added;
    return S_OK;
}

STDMETHODIMP ConnectionPoint::Unadvise(DWORD cookie)
{
    ComPtr<SinkConnection> removed;
    SinkSnapshot replaced;
    {
        const ExclusiveLock guard(lock_);
        removed = list_.Remove(cookie);
        // Out of memory the old array stays published; passes skip the
        // removed sink by its flag.
        if (removed) Publish(replaced);
    }
    if (!removed) return CONNECT_E_NOCONNECTION;
    // A caller may free its sink as soon as Unadvise returns: an event pass on
    // another thread that is inside this sink must have left it by then. A
    // sink blocked for good does not hold the host up for longer than a
    // capture stop would.
    removed->Disconnect();
    removed->WaitForOtherCalls(Timing().stopBoundMs.load());
    // The list's reference is released here, outside the lock, since the
    // sink's destruction may call back into this connection point.
    return S_OK;
}

STDMETHODIMP ConnectionPoint::EnumConnections(IEnumConnections** connections)
{
    if (!connections) return E_POINTER;
    *connections = nullptr;
    return ComBoundary([&] {
        // The connections are taken under the lock, the sinks' references
        // outside it: a sink's AddRef is a call into the sink.
        std::vector<std::pair<ComPtr<SinkConnection>, DWORD>> taken;
        {
            const SharedLock guard(lock_);
            for (std::size_t slot = 0; slot < list_.size(); ++slot) {
                if (SinkConnection* connection = list_.at(slot)) {
                    taken.emplace_back(ComPtr<SinkConnection>(connection), static_cast<DWORD>(slot + 1));
                }
            }
        }
        auto snapshot = std::make_shared<ConnectionSnapshot>();
        snapshot->reserve(taken.size());
        for (const auto& [connection, cookie] : taken) {
            snapshot->push_back(Connection{ComPtr<IUnknown>(connection->sink()), cookie});
        }
        return quorvex::EnumConnections::Create(std::move(snapshot), 0, connections);
    });
}

SinkSnapshot ConnectionPoint::Snapshot() const
{
    // Shared: the host's thread and the capture worker may both be raising.
    const SharedLock guard(lock_);
    return published_;
}

bool ConnectionPoint::Publish(SinkSnapshot& replaced) noexcept
{
    SinkSnapshot built;
    if (!SinkSnapshot::Build(list_, built)) return false;
    replaced = std::move(published_);
    published_ = std::move(built);
    return true;
}

void ConnectionPoint::ReleaseAll() noexcept
{
    // Swap the storage out under the lock, release the sinks outside it.
    ConnectionList released;
    SinkSnapshot unpublished;
    {
        const ExclusiveLock guard(lock_);
        released.TakeFrom(list_);
        unpublished = std::move(published_);
    }
}

}  // namespace quorvex
