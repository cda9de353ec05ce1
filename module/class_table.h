// The module's class table: the one creatable class and its cached class
// object. The composition point: the only file of module/ that knows the
// plug-in class.
#pragma once

#include <windows.h>

namespace quorvex {

// The cached class object of CSmartCardAuthPlugin.
HRESULT GetModuleClassObject(REFCLSID clsid, REFIID iid, void** out) noexcept;

// True when the class table's lock could not be initialised: the DLL then
// refuses DLL_PROCESS_ATTACH.
bool ModuleInitFailed() noexcept;

}  // namespace quorvex
