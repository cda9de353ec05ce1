#include "plugin/argument_coercion.h"

namespace quorvex {
namespace {

// The argument that takes part in coercion: a VT_BYREF|VT_VARIANT is followed
// once; null when it refers to nothing.
VARIANT* Target(VARIANT& argument) noexcept
{
    if (V_VT(&argument) == (VT_BYREF | VT_VARIANT)) return V_VARIANTREF(&argument);
    return &argument;
}

// Integer family: the stored bits, zero-extended from the type's width.
bool StoredIntegerBits(const VARIANT& v, LONG* value) noexcept
{
    switch (V_VT(&v)) {
    case VT_I1:
    case VT_UI1: *value = static_cast<LONG>(V_UI1(&v)); return true;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: *value = static_cast<LONG>(V_UI2(&v)); return true;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR:
    case VT_HRESULT: *value = static_cast<LONG>(V_UI4(&v)); return true;
    case VT_I8:
    case VT_UI8: *value = static_cast<LONG>(static_cast<ULONG>(V_UI8(&v) & 0xFFFFFFFFu)); return true;
    default: return false;
    }
}

}  // namespace

bool FittedArgument::FitBstr(VARIANT& argument) noexcept
{
    if (V_VT(&argument) == VT_BSTR) {
        holder_ = &argument;
        return true;
    }
    VARIANT* v = Target(argument);
    if (!v || (V_VT(v) & VT_BYREF)) return false;
    if (FAILED(::VariantChangeType(converted_.get(), v, 0, VT_BSTR))) return false;
    holder_ = v;
    convert_ = true;
    return true;
}

bool FittedArgument::FitLong(VARIANT& argument) noexcept
{
    if (V_VT(&argument) == VT_I4) {
        number_ = V_I4(&argument);
        return true;
    }
    VARIANT* v = Target(argument);
    if (!v || (V_VT(v) & VT_BYREF)) return false;
    if (StoredIntegerBits(*v, &number_)) return true;
    // Floating-point and date values are converted numerically (rounded), not
    // read as raw bits.
    if (FAILED(::VariantChangeType(converted_.get(), v, 0, VT_I4))) return false;
    number_ = V_I4(converted_.get());
    holder_ = v;
    convert_ = true;
    return true;
}

void FittedArgument::Commit() noexcept
{
    if (!convert_) return;
    convert_ = false;
    ::VariantClear(holder_);
    *holder_ = converted_.release();
}

BSTR FittedArgument::bstr() const noexcept { return holder_ && V_VT(holder_) == VT_BSTR ? V_BSTR(holder_) : nullptr; }

}  // namespace quorvex
