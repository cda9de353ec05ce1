#include "module/module_state.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "module/class_factory.h"
#include "plugin/smart_card_auth_plugin.h"
#include "quorvex_h.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace quorvex {
namespace {

struct TerminationEntry {
    TerminationRoutine routine;
    void* argument;
};

struct ClassRow {
    const CLSID* clsid = nullptr;
    InstanceCreator instanceCreator = nullptr;
    // The class table's own reference; read without the lock by every request.
    std::atomic<IUnknown*> cachedClassObject{nullptr};
};

// Built by static initialisation before DllMain sees DLL_PROCESS_ATTACH, in the
// order below; torn down in reverse after DLL_PROCESS_DETACH.
class ModuleState {
public:
    // Constructed during the module's load, where an exception would end the
    // process: nothing in here throws, and noexcept says so.
    ModuleState() noexcept
        : moduleHandle(reinterpret_cast<HMODULE>(&__ImageBase)), resourceInstance(moduleHandle)
    {
        classTable[0].clsid = &CLSID_CSmartCardAuthPlugin;
        classTable[0].instanceCreator = &CSmartCardAuthPlugin::CreateInstance;
        classTableSize.store(1);
        initFailed = !resourceLock.initialised() || !classTableLock.initialised() || !typeInfoLock.initialised();
    }

    ~ModuleState()
    {
        // Newest termination routine first; each entry is gone once it ran.
        while (!terminationList.empty()) {
            TerminationEntry entry = terminationList.back();
            terminationList.pop_back();
            entry.routine(entry.argument);
        }
        for (ClassRow& row : classTable) {
            // Lifetime plumbing: the table's own reference goes with the table.
            if (IUnknown* classObject = row.cachedClassObject.exchange(nullptr)) classObject->Release();
        }
        classTableSize.store(0);
    }

    HMODULE moduleHandle;
    std::atomic<HMODULE> resourceInstance;
    CriticalSection resourceLock;
    ClassRow classTable[1];
    std::atomic<ULONG> classTableSize{0};
    CriticalSection classTableLock;
    std::atomic<LONG> lockCount{0};
    CriticalSection typeInfoLock;
    std::vector<TerminationEntry> terminationList;
    bool initFailed = false;
};

ModuleState g_module;

}  // namespace

HMODULE ModuleHandle() noexcept { return g_module.moduleHandle; }
LONG ModuleLock() noexcept { return ++g_module.lockCount; }
LONG ModuleUnlock() noexcept { return --g_module.lockCount; }
LONG ModuleLockCount() noexcept { return g_module.lockCount.load(); }

HMODULE ExchangeResourceInstance(HMODULE instance) noexcept { return g_module.resourceInstance.exchange(instance); }
HMODULE CurrentResourceInstance() noexcept { return g_module.resourceInstance.load(); }
CriticalSection& ResourceLock() noexcept { return g_module.resourceLock; }
CriticalSection& TypeInfoLock() noexcept { return g_module.typeInfoLock; }
bool ModuleInitFailed() noexcept { return g_module.initFailed; }

bool AddTerminationRoutine(TerminationRoutine routine, void* argument) noexcept
{
    try {
        g_module.terminationList.push_back({routine, argument});
        return true;
    } catch (...) {
        return false;
    }
}

HRESULT GetModuleClassObject(REFCLSID clsid, REFIID iid, void** out) noexcept
{
    if (g_module.classTableSize.load() == 0) return E_UNEXPECTED;
    if (!out) return E_POINTER;
    *out = nullptr;

    for (ClassRow& row : g_module.classTable) {
        if (!row.instanceCreator || !IsEqualCLSID(*row.clsid, clsid)) continue;

        HRESULT hr = S_OK;
        if (!row.cachedClassObject) {
            // Checked again under the lock so that concurrent first requests
            // make only one class object.
            std::lock_guard<CriticalSection> guard(g_module.classTableLock);
            if (!row.cachedClassObject) {
                IUnknown* created = nullptr;
                hr = CreateClassObject(row.instanceCreator, IID_IUnknown, reinterpret_cast<void**>(&created));
                row.cachedClassObject.store(created);
            }
        }
        if (IUnknown* classObject = row.cachedClassObject.load()) hr = classObject->QueryInterface(iid, out);
        if (!*out && hr == S_OK) return CLASS_E_CLASSNOTAVAILABLE;
        return hr;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

}  // namespace quorvex
