// IEnumConnections over a snapshot of one connection point's connections.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "win/com_ptr.h"

namespace quorvex {

struct Connection {
    ComPtr<IUnknown> sink;
    DWORD cookie = 0;
};
using ConnectionSnapshot = std::vector<Connection>;

class EnumConnections final : public IEnumConnections {
public:
    // A new enumerator at `position` (clones share the snapshot).
    static HRESULT Create(std::shared_ptr<const ConnectionSnapshot> items, std::size_t position,
                          IEnumConnections** out) noexcept;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IEnumConnections
    STDMETHODIMP Next(ULONG count, CONNECTDATA* items, ULONG* fetched) override;
    STDMETHODIMP Skip(ULONG count) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumConnections** out) override;

private:
    EnumConnections(std::shared_ptr<const ConnectionSnapshot> items, std::size_t position) noexcept
        : items_(std::move(items)), position_(position)
    {
    }
    ~EnumConnections() = default;

    LONG refs_ = 1;
    std::shared_ptr<const ConnectionSnapshot> items_;
    std::size_t position_;
};

}  // namespace quorvex
