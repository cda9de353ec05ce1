// Placeholder: the events work replaces this file.
#include "plugin/connection_point.h"

namespace quorvex {

ConnectionPoint::ConnectionPoint(IConnectionPointContainer* container, REFIID servedInterface) noexcept
    : container_(container), iid_(servedInterface)
{
}
ConnectionPoint::~ConnectionPoint() = default;
STDMETHODIMP ConnectionPoint::QueryInterface(REFIID, void** out)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    return E_NOINTERFACE;
}
STDMETHODIMP_(ULONG) ConnectionPoint::AddRef() { return container_->AddRef(); }
STDMETHODIMP_(ULONG) ConnectionPoint::Release() { return container_->Release(); }
STDMETHODIMP ConnectionPoint::GetConnectionInterface(IID*) { return E_NOTIMPL; }
STDMETHODIMP ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer**) { return E_NOTIMPL; }
STDMETHODIMP ConnectionPoint::Advise(IUnknown*, DWORD*) { return E_NOTIMPL; }
STDMETHODIMP ConnectionPoint::Unadvise(DWORD) { return E_NOTIMPL; }
STDMETHODIMP ConnectionPoint::EnumConnections(IEnumConnections**) { return E_NOTIMPL; }
std::vector<ComPtr<IUnknown>> ConnectionPoint::Snapshot() const { return {}; }
void ConnectionPoint::ReleaseAll() noexcept {}

}  // namespace quorvex
