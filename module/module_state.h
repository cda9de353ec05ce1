// State that lives as long as the module is loaded: lock count, class table,
// resource instance, the module-wide locks and the termination list.
#pragma once

#include <windows.h>

#include "win/unique_handle.h"

namespace quorvex {

// The module's own instance handle (the DLL, or the test program when the
// product code is linked into one).
HMODULE ModuleHandle() noexcept;

// Lock count: one lock per live plug-in object, one for all outside references
// to a class object, and one per LockServer(TRUE). Not clamped at 0.
LONG ModuleLock() noexcept;
LONG ModuleUnlock() noexcept;
LONG ModuleLockCount() noexcept;

// The module in which string resources are looked up. Replaced atomically by
// each plug-in construction that loaded a resource library; never reset.
HMODULE ExchangeResourceInstance(HMODULE instance) noexcept;
// Runs reader(instance) under the resource lock.
template <typename Reader>
auto WithResourceInstance(Reader&& reader);

CriticalSection& ResourceLock() noexcept;
HMODULE CurrentResourceInstance() noexcept;
CriticalSection& TypeInfoLock() noexcept;

// Routines run once at unload, newest first. Callers hold TypeInfoLock().
using TerminationRoutine = void (*)(void* argument);
bool AddTerminationRoutine(TerminationRoutine routine, void* argument) noexcept;

// The code page for converting 8-bit text into automation strings.
UINT ConversionCodePage() noexcept;

// True when one of the module's critical sections could not be initialised:
// the DLL then refuses DLL_PROCESS_ATTACH.
bool ModuleInitFailed() noexcept;

// Class table: the cached class object of CSmartCardAuthPlugin.
HRESULT GetModuleClassObject(REFCLSID clsid, REFIID iid, void** out) noexcept;

template <typename Reader>
auto WithResourceInstance(Reader&& reader)
{
    CriticalSection& lock = ResourceLock();
    lock.lock();
    struct Unlock {
        CriticalSection& l;
        ~Unlock() { l.unlock(); }
    } unlock{lock};
    return reader(CurrentResourceInstance());
}

}  // namespace quorvex
