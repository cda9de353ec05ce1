// Placeholder until self-registration lands.
#include "module/registration.h"

namespace quorvex {

HRESULT RegisterServer() noexcept { return E_NOTIMPL; }
HRESULT UnregisterServer() noexcept { return E_NOTIMPL; }
HRESULT RegisterPluginCategory(int, REFCLSID) noexcept { return E_NOTIMPL; }

}  // namespace quorvex
