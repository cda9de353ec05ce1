// The sinks of a connection point as one immutable, shared array: the
// connection point rebuilds it when a sink advises or unadvises, and an event
// pass takes it with a single reference instead of one per sink.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <vector>

#include "plugin/connection_list.h"
#include "plugin/sink_connection.h"

namespace quorvex {

class SinkSnapshot {
public:
    SinkSnapshot() noexcept = default;
    SinkSnapshot(const SinkSnapshot& other) noexcept;
    SinkSnapshot(SinkSnapshot&& other) noexcept;
    SinkSnapshot& operator=(SinkSnapshot other) noexcept;
    ~SinkSnapshot();

    // The list's connections in slot order, each held by the snapshot. False
    // when memory runs out (`out` is left alone then).
    static bool Build(const ConnectionList& list, SinkSnapshot& out) noexcept;

    SinkConnection* const* begin() const noexcept { return block_ ? block_->items.data() : nullptr; }
    SinkConnection* const* end() const noexcept { return block_ ? block_->items.data() + block_->items.size() : nullptr; }
    std::size_t size() const noexcept { return block_ ? block_->items.size() : 0; }

private:
    struct Block {
        std::atomic<ULONG> references{1};
        std::vector<SinkConnection*> items;  // one reference each
    };
    void Drop() noexcept;

    Block* block_ = nullptr;
};

}  // namespace quorvex
