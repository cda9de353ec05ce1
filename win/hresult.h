// HRESULT flow and the one exception boundary of the product code.
#pragma once

#include <windows.h>

#include <new>

#define QV_RETURN_IF_FAILED(expr)          \
    do {                                   \
        const HRESULT qv_hr_ = (expr);     \
        if (FAILED(qv_hr_)) return qv_hr_; \
    } while (0)

// Returns the HRESULT of a Win32 error code (a LONG or DWORD result) unless it
// is ERROR_SUCCESS.
#define QV_RETURN_IF_WIN32_ERROR(expr)                                                 \
    do {                                                                               \
        const LONG qv_error_ = static_cast<LONG>(expr);                                \
        if (qv_error_ != ERROR_SUCCESS) return ::quorvex::HresultFromWin32(qv_error_); \
    } while (0)

// Returns hr when the condition holds.
#define QV_RETURN_HR_IF(hr, condition) \
    do {                               \
        if (condition) return (hr);    \
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
// exception crosses a COM or DLL boundary: E_OUTOFMEMORY for std::bad_alloc,
// E_UNEXPECTED for anything else. The only place where the product code
// catches.
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

// For routines that report no failure (log records, notifications, checks
// that answer yes or no): runs body() and gives `fallback` when it throws.
template <typename Result, typename Body>
Result NoThrowOr(Result fallback, Body&& body) noexcept
{
    Result result = fallback;
    const HRESULT hr = ComBoundary([&]() -> HRESULT {
        result = body();
        return S_OK;
    });
    return SUCCEEDED(hr) ? result : fallback;
}

// The same for a body without a result: whatever it did not finish is lost.
template <typename Body>
void NoThrow(Body&& body) noexcept
{
    (void)ComBoundary([&]() -> HRESULT {
        body();
        return S_OK;
    });
}

}  // namespace quorvex
