// Placeholder: the events work replaces this file.
#include "plugin/smart_card_auth_plugin.h"

namespace quorvex {

STDMETHODIMP CSmartCardAuthPlugin::EnumConnectionPoints(IEnumConnectionPoints** points)
{
    if (!points) return E_POINTER;
    *points = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP CSmartCardAuthPlugin::FindConnectionPoint(REFIID, IConnectionPoint** point)
{
    if (!point) return E_POINTER;
    *point = nullptr;
    return CONNECT_E_NOCONNECTION;
}

}  // namespace quorvex
