// Owner of a VARIANT: cleared when the owner goes.
#pragma once

#include <windows.h>
#include <oleauto.h>

namespace quorvex {

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
