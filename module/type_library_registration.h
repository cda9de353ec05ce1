// Registration of the module's own type library.
#pragma once

#include <windows.h>

namespace quorvex {

HRESULT RegisterModuleTypeLibrary() noexcept;
HRESULT UnregisterModuleTypeLibrary() noexcept;

}  // namespace quorvex
