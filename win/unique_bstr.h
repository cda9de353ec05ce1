// Owners of automation strings and VARIANTs.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string_view>
#include <utility>

namespace quorvex {

class UniqueBstr {
public:
    UniqueBstr() noexcept = default;
    // Takes ownership of an allocated BSTR.
    explicit UniqueBstr(BSTR s) noexcept : s_(s) {}
    UniqueBstr(UniqueBstr&& other) noexcept : s_(other.release()) {}
    UniqueBstr& operator=(UniqueBstr&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    UniqueBstr(const UniqueBstr&) = delete;
    UniqueBstr& operator=(const UniqueBstr&) = delete;
    ~UniqueBstr() { reset(); }

    void reset(BSTR s = nullptr) noexcept
    {
        if (BSTR old = std::exchange(s_, s)) ::SysFreeString(old);
    }
    [[nodiscard]] BSTR release() noexcept { return std::exchange(s_, nullptr); }
    BSTR get() const noexcept { return s_; }
    BSTR* put() noexcept
    {
        reset();
        return &s_;
    }
    UINT length() const noexcept { return ::SysStringLen(s_); }
    bool empty() const noexcept { return length() == 0; }
    std::wstring_view view() const noexcept { return {s_ ? s_ : L"", length()}; }
    explicit operator bool() const noexcept { return s_ != nullptr; }

private:
    BSTR s_ = nullptr;
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

class UniqueVariant {
public:
    UniqueVariant() noexcept { ::VariantInit(&v_); }
    ~UniqueVariant() { ::VariantClear(&v_); }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;

    VARIANT* get() noexcept { return &v_; }
    const VARIANT* get() const noexcept { return &v_; }
    VARIANT* operator->() noexcept { return &v_; }
    void reset() noexcept { ::VariantClear(&v_); }
    // Hands the content out, leaving VT_EMPTY behind.
    VARIANT release() noexcept
    {
        VARIANT out = v_;
        ::VariantInit(&v_);
        return out;
    }

private:
    VARIANT v_;
};

}  // namespace quorvex
