// Owner of an automation string (BSTR).
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string_view>

#include "win/unique_resource.h"

namespace quorvex {

struct BstrTraits {
    using Type = BSTR;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type s) noexcept { ::SysFreeString(s); }
};

// The generic owner with what callers read of a string.
class UniqueBstr : public UniqueResource<BstrTraits> {
public:
    using UniqueResource::UniqueResource;
    UINT length() const noexcept { return ::SysStringLen(get()); }
    bool empty() const noexcept { return length() == 0; }
    std::wstring_view view() const noexcept { return {get() ? get() : L"", length()}; }
};

// New BSTR copies; a null result with E_OUTOFMEMORY from the caller's view.
inline UniqueBstr MakeBstr(std::wstring_view text) noexcept
{
    return UniqueBstr(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}
// Byte-for-byte copy that keeps embedded characters and the exact length.
inline UniqueBstr CopyBstr(BSTR source) noexcept
{
    if (!source) return UniqueBstr();
    return UniqueBstr(::SysAllocStringByteLen(reinterpret_cast<LPCSTR>(source), ::SysStringByteLen(source)));
}

}  // namespace quorvex
