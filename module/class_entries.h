// The registry entries of the class CSmartCardAuthPlugin and its two ProgIDs.
#pragma once

#include <windows.h>

namespace quorvex {

HRESULT WriteClassEntries() noexcept;
HRESULT RemoveClassEntries() noexcept;

}  // namespace quorvex
