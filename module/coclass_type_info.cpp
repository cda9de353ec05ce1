#include "module/automation.h"

namespace quorvex {

HRESULT GetCoclassTypeInfo(ITypeInfo** typeInfo) noexcept
{
    if (!typeInfo) return E_POINTER;
    *typeInfo = nullptr;
    return TYPE_E_LIBNOTREGISTERED;
}

}  // namespace quorvex
