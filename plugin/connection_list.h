// The connection list of a connection point: cookies are 1-based slot numbers.
// Size 0 is empty, size 1 holds one connection directly, larger sizes are an array
// (4, 8, 16, ...) with free slots null; the lowest free slot is reused and an
// array never shrinks.
#pragma once

#include <windows.h>

#include <cstddef>

#include "plugin/sink_connection.h"

namespace quorvex {

class ConnectionList {
public:
    ConnectionList() noexcept = default;
    ~ConnectionList();
    ConnectionList(const ConnectionList&) = delete;
    ConnectionList& operator=(const ConnectionList&) = delete;

    // Takes over the caller's reference on the connection. Returns the cookie, or 0 when
    // the list cannot grow (the caller keeps its reference then).
    DWORD Add(SinkConnection* connection) noexcept;
    // Clears the slot and hands its reference back (null for a cookie that
    // names no connection).
    SinkConnection* Remove(DWORD cookie) noexcept;
    // Slot count (not the number of sinks).
    std::size_t size() const noexcept { return size_; }
    // Connection in the 0-based slot, or null.
    SinkConnection* at(std::size_t slot) const noexcept;
    // Disconnects and releases every connection and frees the storage.
    void Clear() noexcept;
    // Moves all of `other` into this list, which must be empty.
    void TakeFrom(ConnectionList& other) noexcept;

private:
    std::size_t size_ = 0;
    SinkConnection* single_ = nullptr;  // size 1
    SinkConnection** array_ = nullptr;  // size 2 or more
};

}  // namespace quorvex
