// Placeholder: the capture work replaces this file.
#include "plugin/smart_card_auth_plugin.h"

namespace quorvex {

STDMETHODIMP CSmartCardAuthPlugin::StartCapture(BSTR, BSTR, BSTR, LONG* returnCode)
{
    if (!returnCode) return E_POINTER;
    *returnCode = -1;
    return S_OK;
}
STDMETHODIMP CSmartCardAuthPlugin::EndCapture(LONG* returnCode)
{
    if (!returnCode) return E_POINTER;
    StopWorker();
    *returnCode = 0;
    return S_OK;
}
void CSmartCardAuthPlugin::StopWorker() noexcept {}
bool CSmartCardAuthPlugin::capturing() const noexcept { return false; }

}  // namespace quorvex
