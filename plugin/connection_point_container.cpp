#include <memory>

#include "plugin/enum_connection_points.h"
#include "plugin/smart_card_auth_plugin.h"
#include "win/hresult.h"

namespace quorvex {

STDMETHODIMP CSmartCardAuthPlugin::EnumConnectionPoints(IEnumConnectionPoints** points)
{
    if (!points) return E_POINTER;
    *points = nullptr;
    return ComBoundary([&] {
        // Container order: property notification first, then the events.
        auto list = std::make_shared<ConnectionPointList>();
        list->emplace_back(&propertyNotifyPoint_);
        list->emplace_back(&eventPoint_);
        return EnumConnectionPoints::Create(std::move(list), 0, points);
    });
}

STDMETHODIMP CSmartCardAuthPlugin::FindConnectionPoint(REFIID iid, IConnectionPoint** point)
{
    if (!point) return E_POINTER;
    *point = nullptr;
    for (ConnectionPoint* candidate : {&propertyNotifyPoint_, &eventPoint_}) {
        if (IsEqualIID(iid, candidate->servedInterface())) {
            *point = candidate;
            candidate->AddRef();
            return S_OK;
        }
    }
    return CONNECT_E_NOCONNECTION;
}

}  // namespace quorvex
