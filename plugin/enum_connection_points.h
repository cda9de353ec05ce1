// IEnumConnectionPoints over the plug-in object's connection points, in
// container order. Each element holds a reference, which is a reference on
// the object itself.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "win/com_ptr.h"

namespace quorvex {

using ConnectionPointList = std::vector<ComPtr<IConnectionPoint>>;

class EnumConnectionPoints final : public IEnumConnectionPoints {
public:
    // A new enumerator at `position` (clones share the list).
    static HRESULT Create(std::shared_ptr<const ConnectionPointList> points, std::size_t position,
                          IEnumConnectionPoints** out) noexcept;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IEnumConnectionPoints
    STDMETHODIMP Next(ULONG count, IConnectionPoint** points, ULONG* fetched) override;
    STDMETHODIMP Skip(ULONG count) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumConnectionPoints** out) override;

private:
    EnumConnectionPoints(std::shared_ptr<const ConnectionPointList> points, std::size_t position) noexcept
        : points_(std::move(points)), position_(position)
    {
    }
    ~EnumConnectionPoints() = default;

    LONG refs_ = 1;
    std::shared_ptr<const ConnectionPointList> points_;
    std::size_t position_;
};

}  // namespace quorvex
