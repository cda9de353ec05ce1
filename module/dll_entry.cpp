// The DLL's entry points. Only the DLL links this file: the unit tests link
// the product code without its module-load configuration.
#include <windows.h>

#include "module/module_state.h"
#include "module/registration.h"

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    // The module state is built by static initialisation before this runs; a
    // lock that could not be initialised makes the load fail.
    if (reason == DLL_PROCESS_ATTACH && quorvex::ModuleInitFailed()) return FALSE;
    return TRUE;
}

HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out)
{
    return quorvex::GetModuleClassObject(clsid, iid, out);
}

HRESULT WINAPI DllCanUnloadNow() { return quorvex::ModuleLockCount() == 0 ? S_OK : S_FALSE; }

HRESULT WINAPI DllRegisterServer() { return quorvex::RegisterServer(); }

HRESULT WINAPI DllUnregisterServer() { return quorvex::UnregisterServer(); }

}  // extern "C"
