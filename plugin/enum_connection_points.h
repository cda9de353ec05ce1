// IEnumConnectionPoints over the plug-in object's connection points, in
// container order. Each element holds a reference, which is a reference on
// the object itself.
#pragma once

#include <vector>

#include "plugin/snapshot_enumerator.h"
#include "win/com_ptr.h"

namespace quorvex {

using ConnectionPointList = std::vector<ComPtr<IConnectionPoint>>;

struct ConnectionPointEnumTraits {
    using Interface = IEnumConnectionPoints;
    using Item = IConnectionPoint*;
    using List = ConnectionPointList;
    static const IID& Iid() noexcept { return IID_IEnumConnectionPoints; }
    static void CopyOut(const ComPtr<IConnectionPoint>& point, IConnectionPoint*& item) noexcept
    {
        point.copy_to(&item);
    }
};
using EnumConnectionPoints = SnapshotEnumerator<ConnectionPointEnumTraits>;

}  // namespace quorvex
