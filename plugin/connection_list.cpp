#include "plugin/connection_list.h"

#include <utility>

#include "win/hresult.h"

namespace quorvex {

namespace {

constexpr std::size_t kFirstArraySize = 4;

// False when out of memory; `slots` is unchanged then.
bool Resize(std::vector<ComPtr<SinkConnection>>& slots, std::size_t count) noexcept
{
    return NoThrowOr(false, [&] {
        slots.resize(count);
        return true;
    });
}

}  // namespace

ConnectionList::~ConnectionList() { Clear(); }

DWORD ConnectionList::Add(ComPtr<SinkConnection>& connection) noexcept
{
    if (size_ == 0) {
        single_ = std::move(connection);
        size_ = 1;
        return 1;
    }
    if (size_ == 1) {
        std::vector<ComPtr<SinkConnection>> slots;
        if (!Resize(slots, kFirstArraySize)) return 0;
        slots[0] = std::move(single_);
        array_ = std::move(slots);
        size_ = kFirstArraySize;
    }
    std::size_t slot = 0;
    while (slot < size_ && array_[slot]) ++slot;
    if (slot == size_) {
        // Doubling keeps every cookie handed out so far pointing at its slot.
        if (!Resize(array_, size_ * 2)) return 0;
        size_ *= 2;
    }
    array_[slot] = std::move(connection);
    return static_cast<DWORD>(slot + 1);
}

ComPtr<SinkConnection> ConnectionList::Remove(DWORD cookie) noexcept
{
    if (cookie == 0 || cookie > size_) return nullptr;
    if (size_ == 1) {
        size_ = 0;
        return std::move(single_);
    }
    return std::move(array_[cookie - 1]);
}

SinkConnection* ConnectionList::at(std::size_t slot) const noexcept
{
    if (slot >= size_) return nullptr;
    return size_ == 1 ? single_.get() : array_[slot].get();
}

void ConnectionList::Clear() noexcept
{
    // Detach everything first: a sink's Release may call back into the
    // connection point.
    size_ = 0;
    const ComPtr<SinkConnection> single = std::move(single_);
    const std::vector<ComPtr<SinkConnection>> slots = std::exchange(array_, {});
    // A pass still walking a snapshot must not call these sinks any more.
    if (single) single->Disconnect();
    for (const ComPtr<SinkConnection>& connection : slots) {
        if (connection) connection->Disconnect();
    }
    // The references go with `single` and `slots`.
}

void ConnectionList::TakeFrom(ConnectionList& other) noexcept
{
    Clear();
    size_ = std::exchange(other.size_, 0);
    single_ = std::move(other.single_);
    array_ = std::exchange(other.array_, {});
}

}  // namespace quorvex
