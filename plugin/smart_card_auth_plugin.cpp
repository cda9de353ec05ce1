#include "plugin/smart_card_auth_plugin.h"

#include <new>
#include <utility>

#include "plugin/automation.h"
#include "plugin/capture.h"
#include "resources/resource_instance.h"
#include "resources/resource_library_loader.h"
#include "win/hresult.h"
#include "win/module_lock.h"

namespace quorvex {

// Construction cannot fail: a missing resource library only leaves the
// object without localized texts.
CSmartCardAuthPlugin::CSmartCardAuthPlugin(IUnknown* outer)
    : eventPoint_(this, DIID__IPkiAuthenticationPluginEvents),
      propertyNotifyPoint_(this, IID_IPropertyNotifySink),
      outer_(outer)
{
    if (UniqueModule library = LoadResourceLibrary(L"VestrelRes")) InstallResourceLibrary(std::move(library));
    ModuleLock();
}

CSmartCardAuthPlugin::~CSmartCardAuthPlugin()
{
    StopWorker(true);
    ModuleUnlock();
    propertyNotifyPoint_.ReleaseAll();
    eventPoint_.ReleaseAll();
}

HRESULT CSmartCardAuthPlugin::CreateInstance(IUnknown* outer, REFIID iid, void** out)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer && !IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;

    return ComBoundary([&] {
        // Born with the creator's reference, held while the object is asked
        // for the interface, so that a refused IID ends it (and gives back
        // its module lock).
        CSmartCardAuthPlugin* object = new CSmartCardAuthPlugin(outer);
        const HRESULT hr = outer ? object->inner_.QueryInterface(iid, out) : object->InternalQueryInterface(iid, out);
        object->InternalRelease();
        return hr;
    });
}

// The interface table. IUnknown is the row-1 pointer.
HRESULT CSmartCardAuthPlugin::InternalQueryInterface(REFIID iid, void** out) noexcept
{
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IProvideClassInfo2) ||
        IsEqualIID(iid, IID_IProvideClassInfo)) {
        *out = static_cast<IProvideClassInfo2*>(this);
    } else if (IsEqualIID(iid, IID_IPkiAuthenticationPlugin) || IsEqualIID(iid, IID_IDispatch)) {
        *out = static_cast<IPkiAuthenticationPlugin*>(this);
    } else if (IsEqualIID(iid, IID_IConnectionPointContainer)) {
        *out = static_cast<IConnectionPointContainer*>(this);
    } else {
        return E_NOINTERFACE;
    }
    static_cast<IUnknown*>(*out)->AddRef();
    return S_OK;
}

ULONG CSmartCardAuthPlugin::InternalAddRef() noexcept { return refCount_.Increment(); }

ULONG CSmartCardAuthPlugin::InternalRelease() noexcept { return refCount_.Release(this); }

STDMETHODIMP CSmartCardAuthPlugin::QueryInterface(REFIID iid, void** out)
{
    return outer_ ? outer_->QueryInterface(iid, out) : InternalQueryInterface(iid, out);
}
STDMETHODIMP_(ULONG) CSmartCardAuthPlugin::AddRef() { return outer_ ? outer_->AddRef() : InternalAddRef(); }
STDMETHODIMP_(ULONG) CSmartCardAuthPlugin::Release() { return outer_ ? outer_->Release() : InternalRelease(); }

STDMETHODIMP CSmartCardAuthPlugin::InnerUnknown::QueryInterface(REFIID iid, void** out)
{
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown)) {
        *out = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    return object_.InternalQueryInterface(iid, out);
}
STDMETHODIMP_(ULONG) CSmartCardAuthPlugin::InnerUnknown::AddRef() { return object_.InternalAddRef(); }
STDMETHODIMP_(ULONG) CSmartCardAuthPlugin::InnerUnknown::Release() { return object_.InternalRelease(); }

STDMETHODIMP CSmartCardAuthPlugin::GetClassInfo(ITypeInfo** typeInfo)
{
    if (!typeInfo) return E_POINTER;
    return GetCoclassTypeInfo(typeInfo);
}

STDMETHODIMP CSmartCardAuthPlugin::GetGUID(DWORD guidKind, GUID* guid)
{
    if (!guid) return E_POINTER;
    if (guidKind == GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
        *guid = DIID__IPkiAuthenticationPluginEvents;
        return S_OK;
    }
    *guid = GUID_NULL;
    return E_FAIL;
}

STDMETHODIMP CSmartCardAuthPlugin::GetTypeInfoCount(UINT* count) { return GetPluginTypeInfoCount(count); }

STDMETHODIMP CSmartCardAuthPlugin::GetTypeInfo(UINT index, LCID, ITypeInfo** typeInfo)
{
    return GetPluginTypeInfo(index, typeInfo);
}

STDMETHODIMP CSmartCardAuthPlugin::GetIDsOfNames(REFIID, LPOLESTR* names, UINT nameCount, LCID, DISPID* dispids)
{
    return GetPluginIDsOfNames(names, nameCount, dispids);
}

STDMETHODIMP CSmartCardAuthPlugin::Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                                          EXCEPINFO*, UINT* argumentError)
{
    return InvokePluginMethod(static_cast<IPkiAuthenticationPlugin*>(this), dispid, params, result, argumentError);
}

}  // namespace quorvex
