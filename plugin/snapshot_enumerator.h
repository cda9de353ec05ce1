// The COM enumerator over an immutable list (IEnumConnectionPoints,
// IEnumConnections): clones share the list and move independently; every
// element handed out carries a reference of its own.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>

#include "win/ref_count.h"

namespace quorvex {

// Traits: Interface (the IEnumXxx), Item (what Next hands out), List (a vector
// of elements), Iid(), and CopyOut(element, item) that adds the reference.
template <typename Traits>
class SnapshotEnumerator final : public Traits::Interface {
public:
    using Interface = typename Traits::Interface;
    using Item = typename Traits::Item;
    using List = typename Traits::List;

    // A new enumerator at `position`.
    static HRESULT Create(std::shared_ptr<const List> items, std::size_t position, Interface** out) noexcept
    {
        if (!out) return E_POINTER;
        *out = new (std::nothrow) SnapshotEnumerator(std::move(items), position);
        return *out ? S_OK : E_OUTOFMEMORY;
    }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, Traits::Iid())) return E_NOINTERFACE;
        *out = static_cast<Interface*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return refs_.Increment(); }
    STDMETHODIMP_(ULONG) Release() override { return refs_.Release(this); }

    STDMETHODIMP Next(ULONG count, Item* items, ULONG* fetched) override
    {
        if (fetched) *fetched = 0;
        // Without a place for the number fetched, only one item may be asked for.
        if (!items || (count > 1 && !fetched)) return E_POINTER;
        ULONG done = 0;
        while (done < count && position_ < items_->size()) Traits::CopyOut((*items_)[position_++], items[done++]);
        if (fetched) *fetched = done;
        return done == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override
    {
        const std::size_t left = items_->size() - position_;
        position_ += std::min<std::size_t>(count, left);
        return count <= left ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override
    {
        position_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(Interface** out) override { return Create(items_, position_, out); }

private:
    friend class RefCount<SnapshotEnumerator>;
    SnapshotEnumerator(std::shared_ptr<const List> items, std::size_t position) noexcept
        : items_(std::move(items)),
          position_(position)
    {
    }
    ~SnapshotEnumerator() = default;

    RefCount<SnapshotEnumerator> refs_;
    std::shared_ptr<const List> items_;
    std::size_t position_;
};

}  // namespace quorvex
