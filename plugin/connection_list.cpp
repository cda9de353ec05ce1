#include "plugin/connection_list.h"

#include <new>
#include <utility>

namespace quorvex {

namespace {

constexpr std::size_t kFirstArraySize = 4;

IUnknown** AllocateSlots(std::size_t count) noexcept
{
    return new (std::nothrow) IUnknown* [count] {};
}

}  // namespace

ConnectionList::~ConnectionList() { Clear(); }

DWORD ConnectionList::Add(IUnknown* sink) noexcept
{
    if (size_ == 0) {
        single_ = sink;
        size_ = 1;
        return 1;
    }
    if (size_ == 1) {
        IUnknown** slots = AllocateSlots(kFirstArraySize);
        if (!slots) return 0;
        slots[0] = std::exchange(single_, nullptr);
        array_ = slots;
        size_ = kFirstArraySize;
    }
    std::size_t slot = 0;
    while (slot < size_ && array_[slot]) ++slot;
    if (slot == size_) {
        // Doubling keeps every cookie handed out so far pointing at its slot.
        IUnknown** slots = AllocateSlots(size_ * 2);
        if (!slots) return 0;
        for (std::size_t i = 0; i < size_; ++i) slots[i] = array_[i];
        delete[] std::exchange(array_, slots);
        size_ *= 2;
    }
    array_[slot] = sink;
    return static_cast<DWORD>(slot + 1);
}

IUnknown* ConnectionList::Remove(DWORD cookie) noexcept
{
    if (cookie == 0 || cookie > size_) return nullptr;
    if (size_ == 1) {
        size_ = 0;
        return std::exchange(single_, nullptr);
    }
    return std::exchange(array_[cookie - 1], nullptr);
}

IUnknown* ConnectionList::at(std::size_t slot) const noexcept
{
    if (slot >= size_) return nullptr;
    return size_ == 1 ? single_ : array_[slot];
}

void ConnectionList::Clear() noexcept
{
    // Detach everything first: a sink's Release may call back into the
    // connection point.
    const std::size_t size = std::exchange(size_, 0);
    IUnknown* single = std::exchange(single_, nullptr);
    IUnknown** slots = std::exchange(array_, nullptr);
    if (single) single->Release();
    if (slots) {
        for (std::size_t i = 0; i < size; ++i) {
            if (slots[i]) slots[i]->Release();
        }
        delete[] slots;
    }
}

void ConnectionList::TakeFrom(ConnectionList& other) noexcept
{
    Clear();
    size_ = std::exchange(other.size_, 0);
    single_ = std::exchange(other.single_, nullptr);
    array_ = std::exchange(other.array_, nullptr);
}

}  // namespace quorvex
