// Type information of IPkiAuthenticationPlugin for IDispatch. Read from the
// module file on every call: the registry is never consulted, so late-bound
// callers get it even on a machine where the module was never registered.
#include "plugin/automation.h"
#include "win/com_ptr.h"
#include "win/hresult.h"
#include "win/module_path.h"

namespace quorvex {
namespace {

HRESULT LoadInterfaceTypeInfo(ITypeInfo** typeInfo) noexcept
{
    if (!typeInfo) return E_POINTER;
    *typeInfo = nullptr;

    const ModulePath path = GetModulePath();
    if (!path.complete()) return E_FAIL;

    // A full path: LoadTypeLib does not register the library as a side effect.
    ComPtr<ITypeLib> library;
    QV_RETURN_IF_FAILED(::LoadTypeLib(path.text, library.put()));
    return library->GetTypeInfoOfGuid(IID_IPkiAuthenticationPlugin, typeInfo);
}

}  // namespace

HRESULT GetPluginTypeInfoCount(UINT* count) noexcept
{
    if (!count) return E_POINTER;
    ComPtr<ITypeInfo> typeInfo;
    *count = SUCCEEDED(LoadInterfaceTypeInfo(typeInfo.put())) ? 1 : 0;
    return S_OK;
}

HRESULT GetPluginTypeInfo(UINT index, ITypeInfo** typeInfo) noexcept
{
    if (index != 0) return DISP_E_BADINDEX;
    return LoadInterfaceTypeInfo(typeInfo);
}

}  // namespace quorvex
