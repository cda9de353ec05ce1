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
#include "win/thread_annotations.h"
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
    std::unique_ptr<ReaderTableCopy> Copy() const noexcept EXCLUDES(lock_);
    // Stores what an enumeration listed; the count only when it completed.
    void Store(ReaderListing& listing) noexcept EXCLUDES(lock_);
    // A new copy of the slot's name (null for a null slot); false when out of memory.
    bool CopyName(int slot, UniqueBstr& name) const noexcept EXCLUDES(lock_);
    // The first slot whose name equals `name` as VarBstrCmp sees it, or -1.
    LONG Find(BSTR name) const noexcept EXCLUDES(lock_);
    bool SlotEmpty(int slot) const noexcept EXCLUDES(lock_);
    ULONG count() const noexcept EXCLUDES(lock_);

    LONG selected() const noexcept { return selected_.load(); }
    void Select(LONG index) noexcept { selected_.store(index); }

private:
    // Taken alone: no other lock is taken or held with it.
    mutable SrwLock lock_;
    UniqueBstr names_[kReaderSlots] GUARDED_BY(lock_);
    ULONG count_ GUARDED_BY(lock_) = 0;
    std::atomic<LONG> selected_{-1};
};

}  // namespace quorvex
