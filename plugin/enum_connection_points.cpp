#include "plugin/enum_connection_points.h"

#include <algorithm>
#include <new>

namespace quorvex {

HRESULT EnumConnectionPoints::Create(std::shared_ptr<const ConnectionPointList> points, std::size_t position,
                                     IEnumConnectionPoints** out) noexcept
{
    if (!out) return E_POINTER;
    *out = new (std::nothrow) EnumConnectionPoints(std::move(points), position);
    return *out ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP EnumConnectionPoints::QueryInterface(REFIID iid, void** out)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IEnumConnectionPoints)) return E_NOINTERFACE;
    *out = static_cast<IEnumConnectionPoints*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) EnumConnectionPoints::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

STDMETHODIMP_(ULONG) EnumConnectionPoints::Release()
{
    const LONG count = InterlockedDecrement(&refs_);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

STDMETHODIMP EnumConnectionPoints::Next(ULONG count, IConnectionPoint** points, ULONG* fetched)
{
    if (fetched) *fetched = 0;
    if (!points || (count > 1 && !fetched)) return E_POINTER;
    ULONG done = 0;
    while (done < count && position_ < points_->size()) {
        (*points_)[position_++].copy_to(&points[done]);
        ++done;
    }
    if (fetched) *fetched = done;
    return done == count ? S_OK : S_FALSE;
}

STDMETHODIMP EnumConnectionPoints::Skip(ULONG count)
{
    const std::size_t left = points_->size() - position_;
    position_ += std::min<std::size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
}

STDMETHODIMP EnumConnectionPoints::Reset()
{
    position_ = 0;
    return S_OK;
}

STDMETHODIMP EnumConnectionPoints::Clone(IEnumConnectionPoints** out) { return Create(points_, position_, out); }

}  // namespace quorvex
