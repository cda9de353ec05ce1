// Registration of the module's own type library.
#pragma once

#include <windows.h>

namespace quorvex {

HRESULT RegisterModuleTypeLibrary() noexcept;
HRESULT UnregisterModuleTypeLibrary() noexcept;

// Registers the type library embedded in another module file (the other
// architecture's Quorvex.dll), with that file's folder as help directory.
HRESULT RegisterTypeLibraryOf(wchar_t* path) noexcept;

}  // namespace quorvex
