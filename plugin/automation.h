// The IDispatch half of IPkiAuthenticationPlugin and the coclass type
// information behind IProvideClassInfo::GetClassInfo.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "quorvex_h.h"

namespace quorvex {

// Type information of IPkiAuthenticationPlugin, loaded from the module file on
// every call.
HRESULT GetPluginTypeInfoCount(UINT* count) noexcept;
HRESULT GetPluginTypeInfo(UINT index, ITypeInfo** typeInfo) noexcept;
// Method names only, case-insensitive for A-Z.
HRESULT GetPluginIDsOfNames(LPOLESTR* names, UINT nameCount, DISPID* dispids) noexcept;
// The fixed dispatcher over the six methods of `target`.
HRESULT InvokePluginMethod(IPkiAuthenticationPlugin* target, DISPID dispid, DISPPARAMS* params, VARIANT* result,
                           UINT* argumentError) noexcept;
// The coclass type information from the registered type library, loaded once.
HRESULT GetCoclassTypeInfo(ITypeInfo** typeInfo) noexcept;

}  // namespace quorvex
