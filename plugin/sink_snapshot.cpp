#include "plugin/sink_snapshot.h"

#include <utility>

#include "win/hresult.h"

namespace quorvex {

bool SinkSnapshot::Build(const ConnectionList& list, SinkSnapshot& out) noexcept
{
    return NoThrowOr(false, [&] {
        auto items = std::make_shared<Items>();
        items->reserve(list.size());
        for (std::size_t slot = 0; slot < list.size(); ++slot) {
            if (SinkConnection* connection = list.at(slot)) items->emplace_back(connection);
        }
        out.items_ = std::move(items);
        return true;
    });
}

}  // namespace quorvex
