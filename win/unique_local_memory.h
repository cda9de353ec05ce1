// Owner of memory the system allocated with LocalAlloc.
#pragma once

#include <windows.h>

#include "win/unique_resource.h"

namespace quorvex {

struct LocalMemoryTraits {
    using Type = HLOCAL;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type m) noexcept { ::LocalFree(m); }
};
using UniqueLocalMemory = UniqueResource<LocalMemoryTraits>;

}  // namespace quorvex
