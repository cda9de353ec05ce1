#include "plugin/connection_point.h"

#include <memory>
#include <new>

#include "plugin/enum_connections.h"

namespace quorvex {

ConnectionPoint::ConnectionPoint(IConnectionPointContainer* container, REFIID servedInterface) noexcept
    : container_(container), iid_(servedInterface)
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

    DWORD added = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        added = list_.Add(served.get());
    }
    // Without a slot the reference goes back to the sink when `served` ends.
    if (added == 0) return CONNECT_E_ADVISELIMIT;
    (void)served.detach();
    *cookie = added;
    return S_OK;
}

STDMETHODIMP ConnectionPoint::Unadvise(DWORD cookie)
{
    ComPtr<IUnknown> removed;
    {
        std::lock_guard<std::mutex> guard(lock_);
        removed.attach(list_.Remove(cookie));
    }
    // The list's reference is released here, outside the lock, since the
    // sink's destruction may call back into this connection point.
    return removed ? S_OK : CONNECT_E_NOCONNECTION;
}

STDMETHODIMP ConnectionPoint::EnumConnections(IEnumConnections** connections)
{
    if (!connections) return E_POINTER;
    *connections = nullptr;
    try {
        auto snapshot = std::make_shared<ConnectionSnapshot>();
        {
            std::lock_guard<std::mutex> guard(lock_);
            for (std::size_t slot = 0; slot < list_.size(); ++slot) {
                if (IUnknown* sink = list_.at(slot)) {
                    snapshot->push_back(Connection{ComPtr<IUnknown>(sink), static_cast<DWORD>(slot + 1)});
                }
            }
        }
        return quorvex::EnumConnections::Create(std::move(snapshot), 0, connections);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

std::vector<ComPtr<IUnknown>> ConnectionPoint::Snapshot() const
{
    std::vector<ComPtr<IUnknown>> sinks;
    std::lock_guard<std::mutex> guard(lock_);
    sinks.reserve(list_.size());
    for (std::size_t slot = 0; slot < list_.size(); ++slot) {
        if (IUnknown* sink = list_.at(slot)) sinks.emplace_back(sink);
    }
    return sinks;
}

void ConnectionPoint::ReleaseAll() noexcept
{
    // Swap the storage out under the lock, release the sinks outside it.
    ConnectionList released;
    {
        std::lock_guard<std::mutex> guard(lock_);
        released.TakeFrom(list_);
    }
}

}  // namespace quorvex
