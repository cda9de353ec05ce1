// The module in which string resources are looked up: the module itself until
// a plug-in object loads a resource library.
#pragma once

#include <windows.h>

#include <mutex>

#include "win/srw_lock.h"
#include "win/unique_module.h"

namespace quorvex {

// Replaced atomically; returns the previous instance. The caller keeps
// ownership of both.
HMODULE ExchangeResourceInstance(HMODULE instance) noexcept;
HMODULE CurrentResourceInstance() noexcept;
// Each plug-in construction that loaded a library installs it; never reset.
// Every load maps the file anew, so the library installed before it is
// given back, unless something else was put in its place meanwhile.
void InstallResourceLibrary(UniqueModule library) noexcept;
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
