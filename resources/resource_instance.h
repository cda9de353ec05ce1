// The module in which string resources are looked up: the module itself until
// a plug-in object loads a resource library.
#pragma once

#include <windows.h>

#include <mutex>

#include "win/srw_lock.h"

namespace quorvex {

// Replaced atomically by each plug-in construction that loaded a resource
// library; never reset. Returns the previous instance.
HMODULE ExchangeResourceInstance(HMODULE instance) noexcept;
HMODULE CurrentResourceInstance() noexcept;
// Held while strings are read from the instance.
SrwLock& ResourceLock() noexcept;

// Runs reader(instance) under the resource lock.
template <typename Reader>
auto WithResourceInstance(Reader&& reader)
{
    std::lock_guard<SrwLock> guard(ResourceLock());
    return reader(CurrentResourceInstance());
}

}  // namespace quorvex
