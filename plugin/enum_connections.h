// IEnumConnections over a snapshot of one connection point's connections.
#pragma once

#include <vector>

#include "plugin/snapshot_enumerator.h"
#include "win/com_ptr.h"

namespace quorvex {

struct Connection {
    ComPtr<IUnknown> sink;
    DWORD cookie = 0;
};
using ConnectionSnapshot = std::vector<Connection>;

struct ConnectionEnumTraits {
    using Interface = IEnumConnections;
    using Item = CONNECTDATA;
    using List = ConnectionSnapshot;
    static const IID& Iid() noexcept { return IID_IEnumConnections; }
    static void CopyOut(const Connection& connection, CONNECTDATA& item) noexcept
    {
        connection.sink.copy_to(&item.pUnk);
        item.dwCookie = connection.cookie;
    }
};
using EnumConnections = SnapshotEnumerator<ConnectionEnumTraits>;

}  // namespace quorvex
