#include "plugin/sink_snapshot.h"

#include <new>
#include <utility>

namespace quorvex {

SinkSnapshot::SinkSnapshot(const SinkSnapshot& other) noexcept : block_(other.block_)
{
    if (block_) ++block_->references;
}

SinkSnapshot::SinkSnapshot(SinkSnapshot&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}

SinkSnapshot& SinkSnapshot::operator=(SinkSnapshot other) noexcept
{
    std::swap(block_, other.block_);
    return *this;
}

SinkSnapshot::~SinkSnapshot() { Drop(); }

void SinkSnapshot::Drop() noexcept
{
    Block* block = std::exchange(block_, nullptr);
    if (!block || --block->references != 0) return;
    for (SinkConnection* connection : block->items) connection->Release();
    delete block;
}

bool SinkSnapshot::Build(const ConnectionList& list, SinkSnapshot& out) noexcept
{
    SinkSnapshot built;
    try {
        built.block_ = new Block;
        built.block_->items.reserve(list.size());
    } catch (...) {
        return false;
    }
    for (std::size_t slot = 0; slot < list.size(); ++slot) {
        if (SinkConnection* connection = list.at(slot)) {
            connection->AddRef();
            built.block_->items.push_back(connection);  // reserved: cannot throw
        }
    }
    out = std::move(built);
    return true;
}

}  // namespace quorvex
