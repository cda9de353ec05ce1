// The DLL's entry points. Only the DLL links this file: the unit tests link
// the product code without its module-load configuration.
#include <windows.h>

#include "logging/log_config.h"
#include "module/class_table.h"
#include "module/registration.h"
#include "win/module_lock.h"

namespace {

// The diagnostic log is configured once per load, from the policy key, before
// any entry point is used; the configuration also arranges for the log file to
// be closed when the module's static objects go at unload.
struct ModuleLogConfiguration {
    ModuleLogConfiguration() noexcept { quorvex::ConfigureModuleLog(); }
} g_moduleLogConfiguration;

}  // namespace

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
