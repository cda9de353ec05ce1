// Self-registration: class entries, ProgIDs, type library, component category.
#pragma once

#include <windows.h>

namespace quorvex {

HRESULT RegisterServer() noexcept;
HRESULT UnregisterServer() noexcept;

// Plug-in kinds and their component categories.
enum class PluginKind : int { Password = 1, Certificate = 2, Fingerprint = 4 };
HRESULT RegisterPluginCategory(int kind, REFCLSID clsid) noexcept;

}  // namespace quorvex
