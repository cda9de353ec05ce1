#include "module/automation.h"

namespace quorvex {

HRESULT GetPluginTypeInfoCount(UINT* count) noexcept
{
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}
HRESULT GetPluginTypeInfo(UINT index, ITypeInfo** typeInfo) noexcept
{
    if (index != 0) return DISP_E_BADINDEX;
    if (!typeInfo) return E_POINTER;
    *typeInfo = nullptr;
    return E_NOTIMPL;
}
HRESULT GetPluginIDsOfNames(LPOLESTR*, UINT, DISPID*) noexcept { return E_NOTIMPL; }
HRESULT InvokePluginMethod(IPkiAuthenticationPlugin*, DISPID, DISPPARAMS*, VARIANT*, UINT*) noexcept
{
    return E_NOTIMPL;
}

}  // namespace quorvex
