// Owner of a loaded library, code or data file alike.
#pragma once

#include <windows.h>

#include "win/unique_resource.h"

namespace quorvex {

struct ModuleTraits {
    using Type = HMODULE;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type m) noexcept { ::FreeLibrary(m); }
};
using UniqueModule = UniqueResource<ModuleTraits>;

}  // namespace quorvex
