// The registry entries of the class CSmartCardAuthPlugin and its two ProgIDs.
#pragma once

#include <windows.h>

namespace quorvex {

HRESULT WriteClassEntries() noexcept;
// What happens to the keys both architectures' registry views share (the
// ProgIDs): kept while the other architecture's class still uses them.
enum class SharedKeys { Remove, Keep };

HRESULT RemoveClassEntries(SharedKeys shared) noexcept;

}  // namespace quorvex
