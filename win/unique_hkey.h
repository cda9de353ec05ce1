// Owner of an open registry key.
#pragma once

#include <windows.h>

#include "win/unique_resource.h"

namespace quorvex {

struct KeyTraits {
    using Type = HKEY;
    static Type invalid() noexcept { return nullptr; }
    static void close(Type k) noexcept { ::RegCloseKey(k); }
};
using UniqueHkey = UniqueResource<KeyTraits>;

}  // namespace quorvex
