#include "module/registration.h"

#include "module/class_entries.h"
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
    QV_RETURN_IF_FAILED(RemoveClassEntries());
    QV_RETURN_IF_FAILED(UnregisterModuleTypeLibrary());
    return S_OK;
}

}  // namespace quorvex
