#include "plugin/connection_list.h"

#include <new>
#include <utility>

namespace quorvex {

namespace {

constexpr std::size_t kFirstArraySize = 4;

SinkConnection** AllocateSlots(std::size_t count) noexcept
{
    return new (std::nothrow) SinkConnection* [count] {};
}

}  // namespace

ConnectionList::~ConnectionList() { Clear(); }

DWORD ConnectionList::Add(SinkConnection* connection) noexcept
{
    if (size_ == 0) {
        single_ = connection;
        size_ = 1;
        return 1;
    }
    if (size_ == 1) {
        SinkConnection** slots = AllocateSlots(kFirstArraySize);
        if (!slots) return 0;
        slots[0] = std::exchange(single_, nullptr);
        array_ = slots;
        size_ = kFirstArraySize;
    }
    std::size_t slot = 0;
    while (slot < size_ && array_[slot]) ++slot;
    if (slot == size_) {
        // Doubling keeps every cookie handed out so far pointing at its slot.
        SinkConnection** slots = AllocateSlots(size_ * 2);
        if (!slots) return 0;
        for (std::size_t i = 0; i < size_; ++i) slots[i] = array_[i];
        delete[] std::exchange(array_, slots);
        size_ *= 2;
    }
    array_[slot] = connection;
    return static_cast<DWORD>(slot + 1);
}

SinkConnection* ConnectionList::Remove(DWORD cookie) noexcept
{
    if (cookie == 0 || cookie > size_) return nullptr;
    if (size_ == 1) {
        size_ = 0;
        return std::exchange(single_, nullptr);
    }
    return std::exchange(array_[cookie - 1], nullptr);
}

SinkConnection* ConnectionList::at(std::size_t slot) const noexcept
{
    if (slot >= size_) return nullptr;
    return size_ == 1 ? single_ : array_[slot];
}

void ConnectionList::Clear() noexcept
{
    // Detach everything first: a sink's Release may call back into the
    // connection point.
    const std::size_t size = std::exchange(size_, 0);
    SinkConnection* single = std::exchange(single_, nullptr);
    SinkConnection** slots = std::exchange(array_, nullptr);
    // A pass still walking a snapshot must not call these sinks any more.
    if (single) {
        single->Disconnect();
        single->Release();
    }
    if (slots) {
        for (std::size_t i = 0; i < size; ++i) {
            if (!slots[i]) continue;
            slots[i]->Disconnect();
            slots[i]->Release();
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
