#include "plugin_helpers.h"

#include <gtest/gtest.h>

#include "plugin/smart_card_auth_plugin.h"
#include "test_sink.h"

namespace quorvex::test {

ComPtr<IPkiAuthenticationPlugin> CreatePlugin()
{
    ComPtr<IPkiAuthenticationPlugin> plugin;
    const HRESULT hr = CSmartCardAuthPlugin::CreateInstance(nullptr, IID_IPkiAuthenticationPlugin, plugin.put_void());
    EXPECT_EQ(hr, S_OK) << "CSmartCardAuthPlugin::CreateInstance";
    return plugin;
}

PluginInspector PluginObject(IPkiAuthenticationPlugin* plugin)
{
    return PluginInspector(*static_cast<CSmartCardAuthPlugin*>(plugin));
}

ComPtr<IConnectionPoint> FindConnectionPoint(IUnknown* plugin, REFIID iid)
{
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    if (!plugin || FAILED(plugin->QueryInterface(IID_IConnectionPointContainer, container.put_void()))) return point;
    container->FindConnectionPoint(iid, point.put());
    return point;
}

HRESULT AdviseEvents(IUnknown* plugin, IUnknown* sink, DWORD* cookie)
{
    if (cookie) *cookie = 0;
    ComPtr<IConnectionPoint> point = FindConnectionPoint(plugin, kEventDiid);
    if (!point) return CONNECT_E_NOCONNECTION;
    return point->Advise(sink, cookie);
}

HRESULT UnadviseEvents(IUnknown* plugin, DWORD cookie)
{
    ComPtr<IConnectionPoint> point = FindConnectionPoint(plugin, kEventDiid);
    if (!point) return CONNECT_E_NOCONNECTION;
    return point->Unadvise(cookie);
}

}  // namespace quorvex::test
