#include "module/registration.h"

#include "module/class_entries.h"
#include "module/other_view.h"
#include "module/type_library_registration.h"
#include "quorvex_h.h"
#include "win/hresult.h"

namespace quorvex {

HRESULT RegisterServer() noexcept
{
    QV_RETURN_IF_FAILED(WriteClassEntries());
    QV_RETURN_IF_FAILED(RegisterModuleTypeLibrary());
    return RegisterPluginCategory(PluginKind::Certificate, CLSID_CSmartCardAuthPlugin);
}

HRESULT UnregisterServer() noexcept
{
    // The category stays defined; the class's membership goes with its key.
    // While the other architecture's class is registered, the ProgIDs its
    // clients find it by stay, and its type library is registered again: the
    // platform's unregistration takes the interface keys of both views.
    wchar_t otherServer[MAX_PATH];
    const bool otherRegistered = OtherViewServerPath(otherServer);
    QV_RETURN_IF_FAILED(RemoveClassEntries(otherRegistered ? SharedKeys::Keep : SharedKeys::Remove));
    QV_RETURN_IF_FAILED(UnregisterModuleTypeLibrary());
    // A stale registration whose file is gone stays as broken as it was; that
    // does not make this unregistration fail.
    if (otherRegistered) (void)RegisterTypeLibraryOf(otherServer);
    return S_OK;
}

}  // namespace quorvex
