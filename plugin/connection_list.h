// The connection list of a connection point: cookies are 1-based slot numbers.
// Size 0 is empty, size 1 holds one connection directly, larger sizes are an array
// (4, 8, 16, ...) with free slots empty; the lowest free slot is reused and an
// array never shrinks.
#pragma once

#include <windows.h>

#include <cstddef>
#include <vector>

#include "plugin/sink_connection.h"
#include "win/com_ptr.h"

namespace quorvex {

class ConnectionList {
public:
    ConnectionList() noexcept = default;
    ~ConnectionList();
    ConnectionList(const ConnectionList&) = delete;
    ConnectionList& operator=(const ConnectionList&) = delete;

    // Takes the connection over and returns its cookie, or 0 when the list
    // cannot grow (`connection` is left alone then).
    DWORD Add(ComPtr<SinkConnection>& connection) noexcept;
    // Clears the slot and hands its connection back (empty for a cookie that
    // names no connection).
    ComPtr<SinkConnection> Remove(DWORD cookie) noexcept;
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
    ComPtr<SinkConnection> single_;              // size 1
    std::vector<ComPtr<SinkConnection>> array_;  // size 2 or more: size_ slots
};

}  // namespace quorvex
