#include "plugin/smart_card_auth_plugin.h"

namespace quorvex {

STDMETHODIMP CSmartCardAuthPlugin::GetStatusString(LONG, BSTR* statusString, LONG* returnCode)
{
    if (!statusString || !returnCode) return E_POINTER;
    return E_NOTIMPL;
}

}  // namespace quorvex
