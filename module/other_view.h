// The other architecture's registration of the same class. On 64-bit Windows
// the class key lives in one registry view per architecture, while the ProgID
// keys and the type library key are shared by both: unregistering one
// architecture must leave what the other still uses.
#pragma once

#include <windows.h>

namespace quorvex {

// Reads into `path` the server that the other architecture's view registers
// for CSmartCardAuthPlugin. False when there is no other view (32-bit
// Windows) or the class is not registered there.
bool OtherViewServerPath(wchar_t (&path)[MAX_PATH]) noexcept;

}  // namespace quorvex
