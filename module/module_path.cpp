#include "module/module_path.h"

#include "module/module_state.h"
#include "win/hresult.h"

namespace quorvex {

ModulePath GetModulePath() noexcept
{
    ModulePath path;
    ::SetLastError(ERROR_SUCCESS);
    path.length = ::GetModuleFileNameW(ModuleHandle(), path.text, MAX_PATH);
    if (!path.complete()) path.lastError = ::GetLastError();
    return path;
}

HRESULT ModulePathResult(const ModulePath& path) noexcept
{
    if (path.length == 0) {
        // A failure without an error code must not read as success.
        const HRESULT hr = HresultFromWin32(static_cast<LONG>(path.lastError));
        return FAILED(hr) ? hr : E_FAIL;
    }
    if (path.length >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    return S_OK;
}

}  // namespace quorvex
