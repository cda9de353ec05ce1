#include "resources/resource_instance.h"

#include <atomic>

#include "win/module_lock.h"

namespace quorvex {
namespace {

// Null stands for the module itself, so that the start value needs no code
// at static initialisation.
constinit std::atomic<HMODULE> g_resourceInstance{nullptr};
SrwLock g_resourceLock;
// The library the last construction installed (g_resourceLock). Left mapped at
// the end: a library is not freed while the loader lock is held.
HMODULE g_installedLibrary = nullptr;

}  // namespace

HMODULE ExchangeResourceInstance(HMODULE instance) noexcept
{
    const HMODULE previous = g_resourceInstance.exchange(instance);
    return previous ? previous : ModuleHandle();
}

HMODULE CurrentResourceInstance() noexcept
{
    const HMODULE instance = g_resourceInstance.load();
    return instance ? instance : ModuleHandle();
}

void InstallResourceLibrary(UniqueModule library) noexcept
{
    UniqueModule replaced;
    {
        // Readers hold the lock while they use the instance: once it is
        // exchanged under the lock, nobody reads the replaced library.
        std::lock_guard<SrwLock> guard(g_resourceLock);
        const HMODULE previous = g_resourceInstance.exchange(library.get());
        if (previous && previous == g_installedLibrary) replaced.reset(previous);
        g_installedLibrary = library.release();
    }
}

SrwLock& ResourceLock() noexcept { return g_resourceLock; }

}  // namespace quorvex
