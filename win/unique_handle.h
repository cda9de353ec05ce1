// Owner of a kernel handle.
#pragma once

#include <windows.h>

#include "win/unique_resource.h"

namespace quorvex {

struct HandleTraits {
    using Type = HANDLE;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type h) noexcept { ::CloseHandle(h); }
};
using UniqueHandle = UniqueResource<HandleTraits>;

}  // namespace quorvex
