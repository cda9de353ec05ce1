#include "module/argument_coercion.h"

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
    case VT_UI1:
        *value = static_cast<LONG>(V_UI1(&v));
        return true;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
        *value = static_cast<LONG>(V_UI2(&v));
        return true;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR:
    case VT_HRESULT:
        *value = static_cast<LONG>(V_UI4(&v));
        return true;
    case VT_I8:
    case VT_UI8:
        *value = static_cast<LONG>(static_cast<ULONG>(V_UI8(&v) & 0xFFFFFFFFu));
        return true;
    default:
        return false;
    }
}

// Converts *v into `type` and replaces it with the result: callers see their
// argument changed, as late-bound clients of this interface always have.
bool ConvertInPlace(VARIANT* v, VARTYPE type) noexcept
{
    VARIANT converted;
    ::VariantInit(&converted);
    if (FAILED(::VariantChangeType(&converted, v, 0, type))) return false;
    ::VariantClear(v);
    *v = converted;
    return true;
}

}  // namespace

bool CoerceToBstr(VARIANT& argument, BSTR* value) noexcept
{
    if (V_VT(&argument) == VT_BSTR) {
        *value = V_BSTR(&argument);
        return true;
    }
    VARIANT* v = Target(argument);
    if (!v || (V_VT(v) & VT_BYREF)) return false;
    if (!ConvertInPlace(v, VT_BSTR)) return false;
    *value = V_BSTR(v);
    return true;
}

bool CoerceToLong(VARIANT& argument, LONG* value) noexcept
{
    if (V_VT(&argument) == VT_I4) {
        *value = V_I4(&argument);
        return true;
    }
    VARIANT* v = Target(argument);
    if (!v || (V_VT(v) & VT_BYREF)) return false;
    if (StoredIntegerBits(*v, value)) return true;
    // Floating-point and date values are converted numerically (rounded), not
    // read as raw bits.
    if (!ConvertInPlace(v, VT_I4)) return false;
    *value = V_I4(v);
    return true;
}

}  // namespace quorvex
