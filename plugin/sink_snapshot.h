// The sinks of a connection point as one immutable, shared array: the
// connection point rebuilds it when a sink advises or unadvises, and an event
// pass takes it with a single reference instead of one per sink.
#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "plugin/connection_list.h"
#include "plugin/sink_connection.h"
#include "win/com_ptr.h"

namespace quorvex {

class SinkSnapshot {
public:
    using Items = std::vector<ComPtr<SinkConnection>>;

    // The list's connections in slot order, each held by the snapshot. False
    // when memory runs out (`out` is left alone then).
    static bool Build(const ConnectionList& list, SinkSnapshot& out) noexcept;

    const ComPtr<SinkConnection>* begin() const noexcept { return items_ ? items_->data() : nullptr; }
    const ComPtr<SinkConnection>* end() const noexcept { return items_ ? items_->data() + items_->size() : nullptr; }
    std::size_t size() const noexcept { return items_ ? items_->size() : 0; }

private:
    std::shared_ptr<const Items> items_;
};

}  // namespace quorvex
