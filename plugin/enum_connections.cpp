#include "plugin/enum_connections.h"

#include <algorithm>
#include <new>

namespace quorvex {

HRESULT EnumConnections::Create(std::shared_ptr<const ConnectionSnapshot> items, std::size_t position,
                                IEnumConnections** out) noexcept
{
    if (!out) return E_POINTER;
    *out = new (std::nothrow) EnumConnections(std::move(items), position);
    return *out ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP EnumConnections::QueryInterface(REFIID iid, void** out)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IEnumConnections)) return E_NOINTERFACE;
    *out = static_cast<IEnumConnections*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) EnumConnections::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

STDMETHODIMP_(ULONG) EnumConnections::Release()
{
    const LONG count = InterlockedDecrement(&refs_);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

STDMETHODIMP EnumConnections::Next(ULONG count, CONNECTDATA* items, ULONG* fetched)
{
    if (fetched) *fetched = 0;
    if (!items || (count > 1 && !fetched)) return E_POINTER;
    ULONG done = 0;
    while (done < count && position_ < items_->size()) {
        const Connection& connection = (*items_)[position_++];
        connection.sink.copy_to(&items[done].pUnk);
        items[done].dwCookie = connection.cookie;
        ++done;
    }
    if (fetched) *fetched = done;
    return done == count ? S_OK : S_FALSE;
}

STDMETHODIMP EnumConnections::Skip(ULONG count)
{
    const std::size_t left = items_->size() - position_;
    position_ += std::min<std::size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
}

STDMETHODIMP EnumConnections::Reset()
{
    position_ = 0;
    return S_OK;
}

STDMETHODIMP EnumConnections::Clone(IEnumConnections** out) { return Create(items_, position_, out); }

}  // namespace quorvex
