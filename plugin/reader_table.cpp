#include "plugin/reader_table.h"

#include <new>

namespace quorvex {

std::unique_ptr<ReaderTableCopy> ReaderTable::Copy() const noexcept
{
    std::unique_ptr<ReaderTableCopy> copy(new (std::nothrow) ReaderTableCopy);
    if (!copy) return nullptr;
    const SharedLock guard(lock_);
    for (int slot = 0; slot < kReaderSlots; ++slot) {
        copy->names[slot] = CopyBstr(names_[slot].get());
        if (names_[slot] && !copy->names[slot]) return nullptr;
    }
    copy->count = count_;
    copy->selected = selected_.load();
    return copy;
}

void ReaderTable::Store(ReaderListing& listing) noexcept
{
    // The replaced names are freed after the lock is given back.
    UniqueBstr replaced[kReaderSlots];
    {
        const ExclusiveLock guard(lock_);
        for (ULONG slot = 0; slot < listing.stored; ++slot) {
            replaced[slot] = std::move(names_[slot]);
            names_[slot] = std::move(listing.names[slot]);
        }
        if (listing.complete) count_ = listing.stored;
    }
}

bool ReaderTable::CopyName(int slot, UniqueBstr& name) const noexcept
{
    const SharedLock guard(lock_);
    name = CopyBstr(names_[slot].get());
    return name || !names_[slot];
}

LONG ReaderTable::Find(BSTR name) const noexcept
{
    const SharedLock guard(lock_);
    for (int slot = 0; slot < kReaderSlots; ++slot) {
        // A null slot compares as an empty string and never matches a name.
        if (::VarBstrCmp(names_[slot].get(), name, LOCALE_USER_DEFAULT, 0) == static_cast<HRESULT>(VARCMP_EQ)) {
            return slot;
        }
    }
    return -1;
}

bool ReaderTable::SlotEmpty(int slot) const noexcept
{
    const SharedLock guard(lock_);
    return ::SysStringLen(names_[slot].get()) == 0;
}

ULONG ReaderTable::count() const noexcept
{
    const SharedLock guard(lock_);
    return count_;
}

}  // namespace quorvex
