// The object's connection point container, its two connection points, their
// enumerators and the cookie numbering of the connection lists.
#include <gtest/gtest.h>
#include <olectl.h>

#include <vector>

#include "plugin/connection_list.h"
#include "plugin/smart_card_auth_plugin.h"
#include "support/plugin_helpers.h"
#include "support/test_sink.h"

using quorvex::ComPtr;
using namespace quorvex::test;

namespace {

IID ServedInterface(IConnectionPoint* point)
{
    IID iid = GUID_NULL;
    EXPECT_EQ(S_OK, point->GetConnectionInterface(&iid));
    return iid;
}

struct EventPoint {
    ComPtr<IPkiAuthenticationPlugin> plugin = CreatePlugin();
    ComPtr<IConnectionPoint> point = FindConnectionPoint(plugin.get(), kEventDiid);

    DWORD Advise(IUnknown* sink)
    {
        DWORD cookie = 0xDEAD;
        EXPECT_EQ(S_OK, point->Advise(sink, &cookie));
        return cookie;
    }
    // Cookies EnumConnections reports, in enumeration order.
    std::vector<DWORD> Cookies()
    {
        std::vector<DWORD> cookies;
        ComPtr<IEnumConnections> connections;
        EXPECT_EQ(S_OK, point->EnumConnections(connections.put()));
        for (CONNECTDATA data{}; connections->Next(1, &data, nullptr) == S_OK;) {
            cookies.push_back(data.dwCookie);
            data.pUnk->Release();
        }
        return cookies;
    }
};

}  // namespace

TEST(ConnectionPointContainer, FindsBothConnectionPointsWhichShareTheObjectsCount)
{
    auto plugin = CreatePlugin();
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, plugin->QueryInterface(IID_IConnectionPointContainer, container.put_void()));
    for (const IID* iid : {&IID_IPropertyNotifySink, &kEventDiid}) {
        ComPtr<IConnectionPoint> point;
        ComPtr<IConnectionPointContainer> back;
        ASSERT_EQ(S_OK, container->FindConnectionPoint(*iid, point.put()));
        EXPECT_TRUE(IsEqualIID(*iid, ServedInterface(point.get())));
        ASSERT_EQ(S_OK, point->GetConnectionPointContainer(back.put()));
        EXPECT_EQ(container.get(), back.get());
    }
    for (const IID* iid : {&IID_IDispatch, &IID_IUnknown, &IID_IPkiAuthenticationPlugin}) {
        IConnectionPoint* point = reinterpret_cast<IConnectionPoint*>(1);
        EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(*iid, &point));
        EXPECT_EQ(nullptr, point);
    }
    EXPECT_EQ(E_POINTER, container->FindConnectionPoint(kEventDiid, nullptr));
    EXPECT_EQ(E_POINTER, container->EnumConnectionPoints(nullptr));
    container.reset();

    // A connection point answers only its own interfaces but shares the object's count.
    auto point = FindConnectionPoint(plugin.get(), kEventDiid);
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(S_OK, point->QueryInterface(IID_IUnknown, unknown.put_void()));
    EXPECT_EQ(static_cast<IUnknown*>(point.get()), unknown.get());
    for (const IID* iid :
         {&IID_IConnectionPointContainer, &IID_IDispatch, &IID_IPkiAuthenticationPlugin, &kEventDiid}) {
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_NOINTERFACE, point->QueryInterface(*iid, &out));
        EXPECT_EQ(nullptr, out);
    }
    EXPECT_EQ(E_POINTER, point->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_EQ(E_POINTER, point->GetConnectionPointContainer(nullptr));
    EXPECT_EQ(E_POINTER, point->GetConnectionInterface(nullptr));

    unknown.reset();
    const ULONG objectCount = plugin->AddRef();
    plugin->Release();
    EXPECT_EQ(objectCount, point->AddRef());
    point->Release();
    // A connection point alone keeps the object alive.
    plugin.reset();
    auto sink = TestSink::Create();
    DWORD cookie = 0;
    EXPECT_EQ(S_OK, point->Advise(sink.get(), &cookie));
    EXPECT_EQ(S_OK, point->Unadvise(cookie));
}

TEST(EnumConnectionPoints, PropertyNotificationFirstThenEventsWithAFullEnumerator)
{
    auto plugin = CreatePlugin();
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, plugin->QueryInterface(IID_IConnectionPointContainer, container.put_void()));
    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(S_OK, container->EnumConnectionPoints(points.put()));
    container.reset();
    const ULONG withEnumerator = plugin->AddRef();
    plugin->Release();

    IConnectionPoint* got[3] = {};
    ULONG fetched = 99;
    ASSERT_EQ(S_FALSE, points->Next(3, got, &fetched));
    ASSERT_EQ(2u, fetched);
    ComPtr<IConnectionPoint> first, second;
    first.attach(got[0]);
    second.attach(got[1]);
    EXPECT_TRUE(IsEqualIID(IID_IPropertyNotifySink, ServedInterface(first.get())));
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
    EXPECT_EQ(second.get(), fromClone.get());
    EXPECT_EQ(E_POINTER, clone->Clone(nullptr));

    first.reset();
    second.reset();
    fromClone.reset();
    clone.reset();
    points.reset();
    EXPECT_EQ(withEnumerator - 2, plugin->AddRef()) << "the enumerator held one reference per connection point";
    plugin->Release();
}

TEST(EnumConnections, SnapshotOfOccupiedSlotsInSlotOrder)
{
    EventPoint events;
    auto a = TestSink::Create(), b = TestSink::Create(), c = TestSink::Create();
    events.Advise(a.get());
    events.Advise(b.get());
    events.Advise(c.get());
    ASSERT_EQ(S_OK, events.point->Unadvise(2));

    ComPtr<IEnumConnections> connections;
    ASSERT_EQ(S_OK, events.point->EnumConnections(connections.put()));
    // Later changes do not reach the snapshot; it holds its own references.
    const ULONG cBefore = c->RefCount();
    ASSERT_EQ(S_OK, events.point->Unadvise(3));
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
    EXPECT_EQ(E_POINTER, events.point->EnumConnections(nullptr));
}

TEST(PropertyNotifyConnectionPoint, KeepsSinksButNeverCallsThemAndGoesFirstAtDestruction)
{
    auto plugin = CreatePlugin();
    auto point = FindConnectionPoint(plugin.get(), IID_IPropertyNotifySink);
    ComPtr<IEnumConnections> connections;
    ASSERT_EQ(S_OK, point->EnumConnections(connections.put()));
    CONNECTDATA data{};
    ULONG fetched = 7;
    EXPECT_EQ(S_FALSE, connections->Next(1, &data, &fetched));
    EXPECT_EQ(0u, fetched);

    std::vector<int> released;
    {
        auto propertySink = TestSink::Create({.answersEventDiid = true, .answersPropertyNotifySink = true});
        auto eventSink = TestSink::Create();
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, point->Advise(propertySink.get(), &cookie));
        EXPECT_EQ(1u, cookie);
        EXPECT_EQ(CONNECT_E_CANNOTCONNECT, point->Advise(eventSink.get(), &cookie));
        ASSERT_EQ(S_OK, AdviseEvents(plugin.get(), eventSink.get(), &cookie));

        PluginObject(plugin.get()).SendStatusChanged(204);
        PluginObject(plugin.get()).FireFailed(211);
        EXPECT_EQ(2u, eventSink->CallCount());
        EXPECT_EQ(0u, propertySink->CallCount());
        EXPECT_EQ(0u, propertySink->OtherCalls());
        propertySink->SetDestroyObserver([&] { released.push_back(1); });
        eventSink->SetDestroyObserver([&] { released.push_back(2); });
    }
    point.reset();
    plugin.reset();
    EXPECT_EQ((std::vector<int>{1, 2}), released);
}

TEST(Cookies, AreSlotPositionsAndFreedOnesAreReused)
{
    EventPoint events;
    auto sink = TestSink::Create(), newcomer = TestSink::Create();
    // A list that only ever held one sink empties and starts again at 1.
    ASSERT_EQ(1u, events.Advise(sink.get()));
    ASSERT_EQ(S_OK, events.point->Unadvise(1));
    EXPECT_TRUE(events.Cookies().empty());
    for (DWORD expected = 1; expected <= 5; ++expected) EXPECT_EQ(expected, events.Advise(sink.get()));
    EXPECT_EQ((std::vector<DWORD>{1, 2, 3, 4, 5}), events.Cookies());

    ASSERT_EQ(S_OK, events.point->Unadvise(2));
    EXPECT_EQ((std::vector<DWORD>{1, 3, 4, 5}), events.Cookies());
    EXPECT_EQ(2u, events.Advise(newcomer.get()));
    // Cookie 3 still names the old sink: unadvising it leaves the newcomer.
    ASSERT_EQ(S_OK, events.point->Unadvise(3));
    EXPECT_EQ((std::vector<DWORD>{1, 2, 4, 5}), events.Cookies());
    PluginObject(events.plugin.get()).FireStatusChanged(7);
    EXPECT_EQ(1u, newcomer->CallCount());
    EXPECT_EQ(3u, events.Advise(sink.get()));
}

TEST(Cookies, UnadviseOfUnknownCookiesChangesNothing)
{
    EventPoint events;
    auto sink = TestSink::Create();
    // Empty list, then a single sink held directly, then an array of 4.
    EXPECT_EQ(CONNECT_E_NOCONNECTION, events.point->Unadvise(1));
    events.Advise(sink.get());
    for (DWORD cookie : {0u, 2u}) EXPECT_EQ(CONNECT_E_NOCONNECTION, events.point->Unadvise(cookie));
    events.Advise(sink.get());
    // Slot 3 exists in the array but was never used.
    for (DWORD cookie : {0u, 3u, 5u, 0xFFFFFFFFu}) EXPECT_EQ(CONNECT_E_NOCONNECTION, events.point->Unadvise(cookie));
    EXPECT_EQ(S_OK, events.point->Unadvise(2));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, events.point->Unadvise(2));
    EXPECT_EQ((std::vector<DWORD>{1}), events.Cookies());
}

TEST(Cookies, RefusedAdvisesLeaveCookieZeroAndHoldNothing)
{
    auto sink = TestSink::Create(), stranger = TestSink::Create({.answersEventDiid = false});
    const ULONG before = sink->RefCount();
    {
        EventPoint events;
        DWORD cookie = 0xDEAD;
        EXPECT_EQ(E_POINTER, events.point->Advise(nullptr, &cookie));
        EXPECT_EQ(0u, cookie);
        EXPECT_EQ(E_POINTER, events.point->Advise(sink.get(), nullptr));
        cookie = 0xDEAD;
        EXPECT_EQ(CONNECT_E_CANNOTCONNECT, events.point->Advise(stranger.get(), &cookie));
        EXPECT_EQ(0u, cookie);
        EXPECT_EQ(before, stranger->RefCount());
        // Nothing used a slot; the list holds one reference per connection.
        EXPECT_EQ(1u, events.Advise(sink.get()));
        events.Advise(sink.get());
        EXPECT_EQ(before + 2, sink->RefCount());
        ASSERT_EQ(S_OK, events.point->Unadvise(1));
        EXPECT_EQ(before + 1, sink->RefCount());
    }
    // Destroying the object drops the connection nobody unadvised.
    EXPECT_EQ(before, sink->RefCount());
}

// The slot layout behind the cookies: 0, 1, then 4, 8, 16 slots; never shrinking.
TEST(ConnectionListLayout, GrowsFromDirectSinkToDoublingArray)
{
    auto sink = TestSink::Create();
    quorvex::ConnectionList list;
    EXPECT_EQ(0u, list.size());
    const std::vector<std::size_t> sizeAfterAdd = {1, 4, 4, 4, 8, 8, 8, 8, 16};
    const auto connect = [&] { return quorvex::SinkConnection::Create(ComPtr<IUnknown>(sink.get())); };
    for (std::size_t i = 0; i < sizeAfterAdd.size(); ++i) {
        ComPtr<quorvex::SinkConnection> connection = connect();
        EXPECT_EQ(i + 1, list.Add(connection));
        EXPECT_FALSE(connection) << "taken over";
        EXPECT_EQ(sizeAfterAdd[i], list.size()) << "after add " << i + 1;
    }
    // Emptying an array keeps its size; the next sink takes the lowest slot.
    for (DWORD cookie = 1; cookie <= 9; ++cookie) EXPECT_TRUE(list.Remove(cookie));
    EXPECT_EQ(16u, list.size());
    EXPECT_FALSE(list.Remove(1));
    ComPtr<quorvex::SinkConnection> connection = connect();
    EXPECT_EQ(1u, list.Add(connection));
    ASSERT_NE(nullptr, list.at(0));
    EXPECT_EQ(static_cast<IUnknown*>(sink.get()), list.at(0)->sink());
    EXPECT_EQ(nullptr, list.at(1));
    EXPECT_EQ(nullptr, list.at(16));
}
