// The plug-in object's reader table: 16 names, the count of the last complete
// enumeration and the selected index. The host's thread fills and reads it; a
// handler on the capture worker's thread may call the reader methods too, and
// the card watch writes the selected index. Names and count are under one
// lock; the index is atomic, as the watch writes it without the lock.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>

#include "smartcard/reader_list.h"
#include "win/srw_lock.h"
#include "win/unique_bstr.h"

namespace quorvex {

// The table as it stood when a capture run was asked for: the run watches
// these names, whatever the host enumerates meanwhile.
struct ReaderTableCopy {
    UniqueBstr names[kReaderSlots];
    ULONG count = 0;
    LONG selected = -1;

    BSTR name(ULONG slot) const noexcept { return slot < kReaderSlots ? names[slot].get() : nullptr; }
};

class ReaderTable {
public:
    // Null when a name cannot be copied: a watch must never run with a name missing.
    std::unique_ptr<ReaderTableCopy> Copy() const noexcept;
    // Stores what an enumeration listed; the count only when it completed.
    void Store(ReaderListing& listing) noexcept;
    // A new copy of the slot's name (null for a null slot); false when out of memory.
    bool CopyName(int slot, UniqueBstr& name) const noexcept;
    // The first slot whose name equals `name` as VarBstrCmp sees it, or -1.
    LONG Find(BSTR name) const noexcept;
    bool SlotEmpty(int slot) const noexcept;
    ULONG count() const noexcept;

    LONG selected() const noexcept { return selected_.load(); }
    void Select(LONG index) noexcept { selected_.store(index); }

private:
    mutable SrwLock lock_;
    UniqueBstr names_[kReaderSlots];  // lock_
    ULONG count_ = 0;                 // lock_
    std::atomic<LONG> selected_{-1};
};

}  // namespace quorvex
