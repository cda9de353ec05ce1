// The object's connection point container, its two connection points and the
// enumerators over them.
#include <gtest/gtest.h>
#include <olectl.h>

#include "plugin/smart_card_auth_plugin.h"
#include "support/plugin_helpers.h"
#include "support/test_sink.h"

using quorvex::ComPtr;
using namespace quorvex::test;

namespace {

ComPtr<IConnectionPointContainer> ContainerOf(const ComPtr<IPkiAuthenticationPlugin>& plugin)
{
    ComPtr<IConnectionPointContainer> container;
    EXPECT_EQ(S_OK, plugin->QueryInterface(IID_IConnectionPointContainer, container.put_void()));
    return container;
}

IID ServedInterface(IConnectionPoint* point)
{
    IID iid = GUID_NULL;
    EXPECT_EQ(S_OK, point->GetConnectionInterface(&iid));
    return iid;
}

}  // namespace

TEST(ConnectionPointContainer, FindsBothConnectionPointsAndNothingElse)
{
    auto plugin = CreatePlugin();
    auto container = ContainerOf(plugin);
    for (const IID* iid : {&IID_IPropertyNotifySink, &kEventDiid}) {
        ComPtr<IConnectionPoint> point;
        ASSERT_EQ(S_OK, container->FindConnectionPoint(*iid, point.put()));
        EXPECT_TRUE(IsEqualIID(*iid, ServedInterface(point.get())));
    }
    for (const IID* iid : {&IID_IDispatch, &IID_IUnknown, &IID_IPkiAuthenticationPlugin}) {
        IConnectionPoint* point = reinterpret_cast<IConnectionPoint*>(1);
        EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(*iid, &point));
        EXPECT_EQ(nullptr, point);
    }
    EXPECT_EQ(E_POINTER, container->FindConnectionPoint(kEventDiid, nullptr));
    EXPECT_EQ(E_POINTER, container->EnumConnectionPoints(nullptr));
}

TEST(ConnectionPointContainer, ConnectionPointsShareTheObjectsReferenceCount)
{
    auto plugin = CreatePlugin();
    auto point = FindConnectionPoint(plugin.get(), kEventDiid);
    const ULONG objectCount = plugin->AddRef();
    plugin->Release();
    // One count: AddRef through the connection point is seen by the object.
    EXPECT_EQ(objectCount, point->AddRef());
    EXPECT_EQ(objectCount + 1, plugin->AddRef());
    plugin->Release();
    point->Release();

    ComPtr<IConnectionPointContainer> back;
    ASSERT_EQ(S_OK, point->GetConnectionPointContainer(back.put()));
    EXPECT_EQ(ContainerOf(plugin).get(), back.get());
    EXPECT_EQ(E_POINTER, point->GetConnectionPointContainer(nullptr));
    EXPECT_EQ(E_POINTER, point->GetConnectionInterface(nullptr));

    // A connection point alone keeps the object alive.
    plugin.reset();
    back.reset();
    auto sink = TestSink::Create();
    DWORD cookie = 0;
    EXPECT_EQ(S_OK, point->Advise(sink.get(), &cookie));
    EXPECT_EQ(S_OK, point->Unadvise(cookie));
}

TEST(ConnectionPointContainer, ConnectionPointAnswersOnlyItsOwnInterfaces)
{
    auto plugin = CreatePlugin();
    auto point = FindConnectionPoint(plugin.get(), kEventDiid);
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(S_OK, point->QueryInterface(IID_IUnknown, unknown.put_void()));
    EXPECT_EQ(static_cast<IUnknown*>(point.get()), unknown.get());
    ComPtr<IConnectionPoint> again;
    ASSERT_EQ(S_OK, point->QueryInterface(IID_IConnectionPoint, again.put_void()));
    EXPECT_EQ(point.get(), again.get());
    for (const IID* iid : {&IID_IConnectionPointContainer, &IID_IDispatch, &IID_IPkiAuthenticationPlugin, &kEventDiid}) {
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_NOINTERFACE, point->QueryInterface(*iid, &out));
        EXPECT_EQ(nullptr, out);
    }
    EXPECT_EQ(E_POINTER, point->QueryInterface(IID_IUnknown, nullptr));
}

TEST(EnumConnectionPoints, PropertyNotificationFirstThenEvents)
{
    auto plugin = CreatePlugin();
    auto container = ContainerOf(plugin);
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(S_OK, container->EnumConnectionPoints(points.put()));

    IConnectionPoint* got[3] = {};
    ULONG fetched = 99;
    ASSERT_EQ(S_FALSE, points->Next(3, got, &fetched));
    ASSERT_EQ(2u, fetched);
    ComPtr<IConnectionPoint> first, second;
    first.attach(got[0]);
    second.attach(got[1]);
    EXPECT_TRUE(IsEqualIID(IID_IPropertyNotifySink, ServedInterface(first.get())));
    EXPECT_TRUE(IsEqualIID(kEventDiid, ServedInterface(second.get())));
    // The same objects FindConnectionPoint hands out.
    EXPECT_EQ(FindConnectionPoint(plugin.get(), kEventDiid).get(), second.get());

    EXPECT_EQ(S_FALSE, points->Next(1, got, nullptr));
    EXPECT_EQ(E_POINTER, points->Next(2, got, nullptr));
    EXPECT_EQ(E_POINTER, points->Next(1, nullptr, nullptr));

    ASSERT_EQ(S_OK, points->Reset());
    EXPECT_EQ(S_OK, points->Skip(1));
    ComPtr<IEnumConnectionPoints> clone;
    ASSERT_EQ(S_OK, points->Clone(clone.put()));
    EXPECT_EQ(S_FALSE, points->Skip(2));
    // The clone starts where the original was and moves on its own.
    ComPtr<IConnectionPoint> fromClone;
    ASSERT_EQ(S_OK, clone->Next(1, fromClone.put(), nullptr));
    EXPECT_TRUE(IsEqualIID(kEventDiid, ServedInterface(fromClone.get())));
    EXPECT_EQ(E_POINTER, clone->Clone(nullptr));
}

TEST(EnumConnectionPoints, EnumeratorKeepsTheObjectAlive)
{
    auto plugin = CreatePlugin();
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(S_OK, ContainerOf(plugin)->EnumConnectionPoints(points.put()));
    const ULONG withEnumerator = plugin->AddRef();
    plugin->Release();
    points.reset();
    EXPECT_EQ(withEnumerator - 2, plugin->AddRef()) << "the enumerator held one reference per connection point";
    plugin->Release();
}

TEST(EnumConnections, SnapshotOfOccupiedSlotsInSlotOrder)
{
    auto plugin = CreatePlugin();
    auto point = FindConnectionPoint(plugin.get(), kEventDiid);
    auto a = TestSink::Create(), b = TestSink::Create(), c = TestSink::Create();
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, point->Advise(a.get(), &cookie));
    ASSERT_EQ(S_OK, point->Advise(b.get(), &cookie));
    ASSERT_EQ(S_OK, point->Advise(c.get(), &cookie));
    ASSERT_EQ(S_OK, point->Unadvise(2));

    ComPtr<IEnumConnections> connections;
    ASSERT_EQ(S_OK, point->EnumConnections(connections.put()));
    // Later changes do not reach the snapshot; it holds its own references.
    const ULONG cBefore = c->RefCount();
    ASSERT_EQ(S_OK, point->Unadvise(3));
    EXPECT_EQ(cBefore - 1, c->RefCount());

    CONNECTDATA data[4] = {};
    ULONG fetched = 0;
    ASSERT_EQ(S_FALSE, connections->Next(4, data, &fetched));
    ASSERT_EQ(2u, fetched);
    EXPECT_EQ(1u, data[0].dwCookie);
    EXPECT_EQ(static_cast<IUnknown*>(a.get()), data[0].pUnk);
    EXPECT_EQ(3u, data[1].dwCookie);
    EXPECT_EQ(static_cast<IUnknown*>(c.get()), data[1].pUnk);
    for (ULONG i = 0; i < fetched; ++i) data[i].pUnk->Release();

    ASSERT_EQ(S_OK, connections->Reset());
    EXPECT_EQ(S_OK, connections->Skip(1));
    ComPtr<IEnumConnections> clone;
    ASSERT_EQ(S_OK, connections->Clone(clone.put()));
    ASSERT_EQ(S_OK, clone->Next(1, data, nullptr));
    EXPECT_EQ(3u, data[0].dwCookie);
    data[0].pUnk->Release();
    EXPECT_EQ(S_FALSE, clone->Skip(1));
    EXPECT_EQ(S_OK, connections->Skip(1)) << "the original moves independently of its clone";
    EXPECT_EQ(S_FALSE, connections->Next(1, data, nullptr));

    connections.reset();
    clone.reset();
    EXPECT_EQ(cBefore - 2, c->RefCount()) << "the snapshot's reference goes with its enumerators";
    EXPECT_EQ(E_POINTER, point->EnumConnections(nullptr));
}

TEST(EnumConnections, EmptyListGivesEmptyEnumerator)
{
    auto plugin = CreatePlugin();
    auto point = FindConnectionPoint(plugin.get(), IID_IPropertyNotifySink);
    ComPtr<IEnumConnections> connections;
    ASSERT_EQ(S_OK, point->EnumConnections(connections.put()));
    CONNECTDATA data{};
    ULONG fetched = 7;
    EXPECT_EQ(S_FALSE, connections->Next(1, &data, &fetched));
    EXPECT_EQ(0u, fetched);
}

TEST(PropertyNotifyConnectionPoint, KeepsSinksButNeverCallsThem)
{
    auto plugin = CreatePlugin();
    auto point = FindConnectionPoint(plugin.get(), IID_IPropertyNotifySink);
    ASSERT_TRUE(point);
    auto propertySink = TestSink::Create({.answersEventDiid = true, .answersPropertyNotifySink = true});
    auto eventSink = TestSink::Create();
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, point->Advise(propertySink.get(), &cookie));
    EXPECT_EQ(1u, cookie);
    // A sink without IPropertyNotifySink cannot subscribe there.
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT, point->Advise(eventSink.get(), &cookie));
    ASSERT_EQ(S_OK, AdviseEvents(plugin.get(), eventSink.get(), &cookie));

    auto& object = PluginObject(plugin.get());
    object.SendStatusChanged(204);
    object.FireFailed(211);
    EXPECT_EQ(2u, eventSink->CallCount());
    EXPECT_EQ(0u, propertySink->CallCount());
    EXPECT_EQ(0u, propertySink->OtherCalls());
}

TEST(ObjectDestruction, ReleasesPropertySinksBeforeEventSinks)
{
    std::vector<int> order;
    // Sinks whose last reference is the object's tell when they go.
    auto plugin = CreatePlugin();
    {
        auto propertySink = TestSink::Create({.answersEventDiid = false, .answersPropertyNotifySink = true});
        auto eventSink = TestSink::Create();
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, FindConnectionPoint(plugin.get(), IID_IPropertyNotifySink)->Advise(propertySink.get(), &cookie));
        ASSERT_EQ(S_OK, AdviseEvents(plugin.get(), eventSink.get(), &cookie));
        propertySink->SetDestroyObserver([&] { order.push_back(1); });
        eventSink->SetDestroyObserver([&] { order.push_back(2); });
    }
    plugin.reset();
    EXPECT_EQ((std::vector<int>{1, 2}), order);
}
