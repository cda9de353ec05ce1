#include "module/class_table.h"

#include <atomic>
#include <mutex>

#include "module/class_factory.h"
#include "plugin/smart_card_auth_plugin.h"
#include "quorvex_h.h"
#include "win/com_ptr.h"
#include "win/critical_section.h"

namespace quorvex {
namespace {

struct ClassRow {
    const CLSID* clsid = nullptr;
    InstanceCreator instanceCreator = nullptr;
    // The class table's own reference; read without the lock by every request.
    std::atomic<IUnknown*> cachedClassObject{nullptr};
};

// Built by static initialisation before DllMain sees DLL_PROCESS_ATTACH; torn
// down after DLL_PROCESS_DETACH.
class ClassTable {
public:
    // Constructed during the module's load, where an exception would end the
    // process: nothing in here throws, and noexcept says so.
    ClassTable() noexcept
    {
        rows[0].clsid = &CLSID_CSmartCardAuthPlugin;
        rows[0].instanceCreator = &CSmartCardAuthPlugin::CreateInstance;
        size.store(1);
    }

    ~ClassTable()
    {
        // The table's own reference goes with the table.
        for (ClassRow& row : rows) {
            ComPtr<IUnknown> owned;
            owned.attach(row.cachedClassObject.exchange(nullptr));
        }
        size.store(0);
    }

    ClassRow rows[1];
    std::atomic<ULONG> size{0};
    CriticalSection lock;
};

ClassTable g_classTable;

}  // namespace

bool ModuleInitFailed() noexcept { return !g_classTable.lock.initialised(); }

HRESULT GetModuleClassObject(REFCLSID clsid, REFIID iid, void** out) noexcept
{
    if (g_classTable.size.load() == 0) return E_UNEXPECTED;
    if (!out) return E_POINTER;
    *out = nullptr;

    for (ClassRow& row : g_classTable.rows) {
        if (!row.instanceCreator || !IsEqualCLSID(*row.clsid, clsid)) continue;

        HRESULT hr = S_OK;
        if (!row.cachedClassObject) {
            // Checked again under the lock so that concurrent first requests
            // make only one class object.
            std::lock_guard<CriticalSection> guard(g_classTable.lock);
            if (!row.cachedClassObject) {
                ComPtr<IUnknown> created;
                hr = CreateClassObject(row.instanceCreator, IID_IUnknown, created.put_void());
                row.cachedClassObject.store(created.detach());
            }
        }
        if (IUnknown* classObject = row.cachedClassObject.load()) hr = classObject->QueryInterface(iid, out);
        if (!*out && hr == S_OK) return CLASS_E_CLASSNOTAVAILABLE;
        return hr;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

}  // namespace quorvex
