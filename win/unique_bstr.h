// Owner of an automation string (BSTR).
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

}  // namespace quorvex
