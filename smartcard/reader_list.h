// Listing the readers of the PC/SC service into the plug-in's reader table:
// the service calls and the rules for trusting its answer. The table itself,
// and the methods that hand it to the host, belong to the plug-in object.
#pragma once

#include <windows.h>

#include "win/unique_bstr.h"

namespace quorvex {

// The reader table has this many slots; further readers are ignored.
inline constexpr int kReaderSlots = 16;

struct ReaderListing {
    // Names for slots 0 .. stored-1, in the order the service listed them.
    UniqueBstr names[kReaderSlots];
    ULONG stored = 0;
    // True when the listing completed: the table's reader count becomes
    // `stored`. Stored names replace the table's even when it is false.
    bool complete = false;
};

// One enumeration on a context of its own. S_OK with nothing stored when the
// service is not running (the table is left exactly as it was); E_FAIL for
// any other service failure; E_OUTOFMEMORY when a name cannot be copied.
HRESULT ListReaders(ReaderListing& listing) noexcept;

}  // namespace quorvex
