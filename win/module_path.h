// The full path of the module file, the source of its type library and the
// path that registration writes.
#pragma once

#include <windows.h>

#include "win/hresult.h"
#include "win/module_lock.h"

namespace quorvex {

struct ModulePath {
    wchar_t text[MAX_PATH] = {};
    // What GetModuleFileNameW returned: 0 on failure, MAX_PATH when the path
    // did not fit (then text is truncated).
    DWORD length = 0;
    // GetLastError() right after an incomplete result.
    DWORD lastError = ERROR_SUCCESS;

    bool complete() const noexcept { return length > 0 && length < MAX_PATH; }
};

inline ModulePath GetModulePath() noexcept
{
    ModulePath path;
    ::SetLastError(ERROR_SUCCESS);
    path.length = ::GetModuleFileNameW(ModuleHandle(), path.text, MAX_PATH);
    if (!path.complete()) path.lastError = ::GetLastError();
    return path;
}

// The registration flavour of failure: the platform's error, or
// ERROR_INSUFFICIENT_BUFFER as an HRESULT when the path filled the buffer.
inline HRESULT ModulePathResult(const ModulePath& path) noexcept
{
    if (path.length == 0) {
        // A failure without an error code must not read as success.
        const HRESULT hr = HresultFromWin32(static_cast<LONG>(path.lastError));
        return FAILED(hr) ? hr : E_FAIL;
    }
    QV_RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), path.length >= MAX_PATH);
    return S_OK;
}

}  // namespace quorvex
