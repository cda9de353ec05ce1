// HRESULT flow and the exception boundary of COM methods.
#pragma once

#include <windows.h>

#include <new>

#define QV_RETURN_IF_FAILED(expr)                  \
    do {                                           \
        const HRESULT qv_hr_ = (expr);             \
        if (FAILED(qv_hr_)) return qv_hr_;         \
    } while (0)

namespace quorvex {

// The HRESULT of a Win32 error code: 0 and negative values stay as they are.
inline HRESULT HresultFromWin32(LONG error) noexcept
{
    return error > 0 ? static_cast<HRESULT>((static_cast<ULONG>(error) & 0xFFFF) | 0x80070000UL)
                     : static_cast<HRESULT>(error);
}

inline HRESULT HresultFromLastError() noexcept { return HresultFromWin32(static_cast<LONG>(::GetLastError())); }

// Runs body() and turns any escaping C++ exception into an HRESULT, so that no
// exception crosses a COM or DLL boundary.
template <typename Body>
HRESULT ComBoundary(Body&& body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

}  // namespace quorvex
