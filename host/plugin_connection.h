// How the host reaches the plug-in: through the registry by ProgID, as a
// real host does, or straight from the DLL's class object when asked.
#pragma once

#include <windows.h>

#include <string>

#include "quorvex_h.h"
#include "win/com_ptr.h"

namespace quorvex::host {

inline constexpr wchar_t kProgId[] = L"Quorvex.SmartCard";

struct Connection {
    std::wstring dllPath;  // empty: by ProgID through the registry
};

// The DLL stays loaded for the life of the process once it was loaded here.
HRESULT CreatePlugin(const Connection& connection, ComPtr<IPkiAuthenticationPlugin>& plugin, std::wstring& error);

// Calls DllRegisterServer or DllUnregisterServer of the DLL at `dllPath`.
HRESULT CallRegistrationEntry(const std::wstring& dllPath, const char* entry, std::wstring& error);

// Quorvex.dll beside the host program.
std::wstring DefaultDllPath();

}  // namespace quorvex::host
