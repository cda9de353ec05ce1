// Identity of the plug-in object: its interface table, GetGUID, the state of
// a fresh object and the out-pointer rules of its methods.
#include <gtest/gtest.h>
#include <ocidl.h>

#include <memory>

#include "plugin/smart_card_auth_plugin.h"
#include "quorvex_h.h"
#include "support/plugin_inspector.h"
#include "win/com_ptr.h"

using quorvex::ComPtr;
using PluginObject = quorvex::CSmartCardAuthPlugin;

namespace {

ComPtr<IUnknown> NewPlugin()
{
    ComPtr<IUnknown> plugin;
    EXPECT_EQ(S_OK, PluginObject::CreateInstance(nullptr, IID_IUnknown, plugin.put_void()));
    return plugin;
}

template <typename T>
ComPtr<T> Query(const ComPtr<IUnknown>& object, REFIID iid)
{
    ComPtr<T> out;
    EXPECT_EQ(S_OK, object->QueryInterface(iid, out.put_void()));
    return out;
}

TEST(PluginIdentity, InterfaceTableSharesPointersAsTabled)
{
    ComPtr<IUnknown> plugin = NewPlugin();
    auto classInfo2 = Query<IProvideClassInfo2>(plugin, IID_IProvideClassInfo2);
    auto classInfo = Query<IProvideClassInfo>(plugin, IID_IProvideClassInfo);
    EXPECT_EQ(plugin.get(), static_cast<IUnknown*>(classInfo2.get()));
    EXPECT_EQ(static_cast<IUnknown*>(classInfo.get()), static_cast<IUnknown*>(classInfo2.get()));

    auto dual = Query<IPkiAuthenticationPlugin>(plugin, IID_IPkiAuthenticationPlugin);
    auto dispatch = Query<IDispatch>(plugin, IID_IDispatch);
    EXPECT_EQ(static_cast<IDispatch*>(dual.get()), dispatch.get());

    auto container = Query<IConnectionPointContainer>(plugin, IID_IConnectionPointContainer);
    EXPECT_TRUE(container);

    // Every interface leads back to the same identity.
    ComPtr<IUnknown> identity;
    ASSERT_EQ(S_OK, container->QueryInterface(IID_IUnknown, identity.put_void()));
    EXPECT_EQ(plugin.get(), identity.get());
}

TEST(PluginIdentity, RefusesInterfacesOutsideTheTable)
{
    ComPtr<IUnknown> plugin = NewPlugin();
    for (const IID* iid : {&IID_ISupportErrorInfo, &IID_IConnectionPoint, &DIID__IPkiAuthenticationPluginEvents,
                           &IID_IPropertyNotifySink, &IID_IClassFactory}) {
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_NOINTERFACE, plugin->QueryInterface(*iid, &out));
        EXPECT_EQ(nullptr, out);
    }
    EXPECT_EQ(E_POINTER, plugin->QueryInterface(IID_IUnknown, nullptr));
}

TEST(PluginIdentity, OneReferenceCountForAllInterfaces)
{
    ComPtr<IUnknown> plugin = NewPlugin();
    auto dual = Query<IPkiAuthenticationPlugin>(plugin, IID_IPkiAuthenticationPlugin);
    const ULONG afterAddRef = dual->AddRef();
    EXPECT_EQ(afterAddRef - 1, plugin->Release());
}

TEST(PluginIdentity, GetGuidKnowsOnlyTheDefaultSourceInterface)
{
    ComPtr<IUnknown> plugin = NewPlugin();
    auto classInfo2 = Query<IProvideClassInfo2>(plugin, IID_IProvideClassInfo2);
    GUID guid{};
    EXPECT_EQ(S_OK, classInfo2->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &guid));
    EXPECT_TRUE(IsEqualGUID(DIID__IPkiAuthenticationPluginEvents, guid));

    guid = IID_IDispatch;
    EXPECT_EQ(E_FAIL, classInfo2->GetGUID(0, &guid));
    EXPECT_TRUE(IsEqualGUID(GUID_NULL, guid));
    EXPECT_EQ(E_FAIL, classInfo2->GetGUID(2, &guid));
    EXPECT_EQ(E_POINTER, classInfo2->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, nullptr));
    EXPECT_EQ(E_POINTER, classInfo2->GetClassInfo(nullptr));
}

TEST(PluginIdentity, FreshObjectHasAnEmptyReaderTable)
{
    ComPtr<IUnknown> plugin = NewPlugin();
    auto object = std::make_unique<quorvex::PluginInspector>(
        *static_cast<PluginObject*>(Query<IProvideClassInfo2>(plugin, IID_IProvideClassInfo2).get()));
    EXPECT_EQ(-1, object->selectedIndex());
    EXPECT_EQ(0u, object->readerCount());
    EXPECT_FALSE(object->capturing());

    auto dual = Query<IPkiAuthenticationPlugin>(plugin, IID_IPkiAuthenticationPlugin);
    for (LONG slot = 0; slot < 16; ++slot) {
        BSTR name = reinterpret_cast<BSTR>(1);
        EXPECT_EQ(S_OK, dual->GetDeviceID(slot, &name));
        EXPECT_EQ(nullptr, name) << "slot " << slot;
    }
}

TEST(PluginIdentity, NullOutPointersAreRefusedWithoutSideEffects)
{
    ComPtr<IUnknown> plugin = NewPlugin();
    auto dual = Query<IPkiAuthenticationPlugin>(plugin, IID_IPkiAuthenticationPlugin);
    EXPECT_EQ(E_POINTER, dual->OpenDevice(nullptr, nullptr));
    EXPECT_EQ(E_POINTER, dual->StartCapture(nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(E_POINTER, dual->EndCapture(nullptr));
    EXPECT_EQ(E_POINTER, dual->GetDeviceID(0, nullptr));
    EXPECT_EQ(E_POINTER, dual->GetDeviceCount(nullptr, nullptr, nullptr));
    BSTR text = nullptr;
    LONG rc = 7;
    EXPECT_EQ(E_POINTER, dual->GetStatusString(204, nullptr, &rc));
    EXPECT_EQ(E_POINTER, dual->GetStatusString(204, &text, nullptr));
    EXPECT_EQ(7, rc);
    EXPECT_EQ(nullptr, text);

    auto object = std::make_unique<quorvex::PluginInspector>(
        *static_cast<PluginObject*>(Query<IProvideClassInfo2>(plugin, IID_IProvideClassInfo2).get()));
    EXPECT_FALSE(object->capturing());
    EXPECT_EQ(-1, object->selectedIndex());
}

}  // namespace
