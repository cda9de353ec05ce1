#include "resources/resource_instance.h"

#include <atomic>

#include "win/module_lock.h"

namespace quorvex {
namespace {

// Null stands for the module itself, so that the start value needs no code
// at static initialisation.
constinit std::atomic<HMODULE> g_resourceInstance{nullptr};
SrwLock g_resourceLock;

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

SrwLock& ResourceLock() noexcept { return g_resourceLock; }

}  // namespace quorvex
