// Self-registration: class entries, ProgIDs, type library, component category.
#pragma once

#include <windows.h>

namespace quorvex {

HRESULT RegisterServer() noexcept;
HRESULT UnregisterServer() noexcept;

// Plug-in kinds and their component categories.
enum class PluginKind : int { Password = 1, Certificate = 2, Fingerprint = 4 };
// E_FAIL for a value that names no kind.
HRESULT RegisterPluginCategory(PluginKind kind, REFCLSID clsid) noexcept;

}  // namespace quorvex
