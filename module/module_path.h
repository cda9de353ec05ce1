// The full path of the module file, the source of its type library and the
// path that registration writes.
#pragma once

#include <windows.h>

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

ModulePath GetModulePath() noexcept;

// The registration flavour of failure: the platform's error, or
// ERROR_INSUFFICIENT_BUFFER as an HRESULT when the path filled the buffer.
HRESULT ModulePathResult(const ModulePath& path) noexcept;

}  // namespace quorvex
