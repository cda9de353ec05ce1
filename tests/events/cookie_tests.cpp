// Cookie numbering of the connection lists, seen through Advise/Unadvise on
// the real object and through the list itself for the slot layout.
#include <gtest/gtest.h>
#include <olectl.h>

#include <vector>

#include "plugin/connection_list.h"
#include "plugin/smart_card_auth_plugin.h"
#include "support/plugin_helpers.h"
#include "support/test_sink.h"

using quorvex::ComPtr;
using quorvex::ConnectionList;
using namespace quorvex::test;

namespace {

struct EventPoint {
    ComPtr<IPkiAuthenticationPlugin> plugin = CreatePlugin();
    ComPtr<IConnectionPoint> point = FindConnectionPoint(plugin.get(), kEventDiid);

    DWORD Advise(IUnknown* sink)
    {
        DWORD cookie = 0xDEAD;
        EXPECT_EQ(S_OK, point->Advise(sink, &cookie));
        return cookie;
    }
};

// Cookies of the connections EnumConnections reports, in enumeration order.
std::vector<DWORD> ConnectedCookies(IConnectionPoint* point)
{
    std::vector<DWORD> cookies;
    ComPtr<IEnumConnections> connections;
    EXPECT_EQ(S_OK, point->EnumConnections(connections.put()));
    CONNECTDATA data{};
    while (connections->Next(1, &data, nullptr) == S_OK) {
        cookies.push_back(data.dwCookie);
        ComPtr<IUnknown> release;
        release.attach(data.pUnk);
    }
    return cookies;
}

}  // namespace

TEST(Cookies, FirstFiveAdvisesGetOneToFive)
{
    EventPoint events;
    auto sink = TestSink::Create();
    for (DWORD expected = 1; expected <= 5; ++expected) EXPECT_EQ(expected, events.Advise(sink.get()));
    EXPECT_EQ((std::vector<DWORD>{1, 2, 3, 4, 5}), ConnectedCookies(events.point.get()));
}

TEST(Cookies, FreedCookieIsReusedAndOthersKeepTheirs)
{
    EventPoint events;
    auto sink1 = TestSink::Create(), sink2 = TestSink::Create(), sink3 = TestSink::Create();
    auto newcomer = TestSink::Create();
    events.Advise(sink1.get());
    events.Advise(sink2.get());
    events.Advise(sink3.get());

    ASSERT_EQ(S_OK, events.point->Unadvise(2));
    EXPECT_EQ((std::vector<DWORD>{1, 3}), ConnectedCookies(events.point.get()));
    EXPECT_EQ(2u, events.Advise(newcomer.get()));

    // Cookie 3 still names the third sink: unadvising it leaves the newcomer.
    ASSERT_EQ(S_OK, events.point->Unadvise(3));
    quorvex::test::PluginObject(events.plugin.get()).FireStatusChanged(7);
    EXPECT_EQ(1u, sink1->CallCount());
    EXPECT_EQ(1u, newcomer->CallCount());
    EXPECT_EQ(0u, sink2->CallCount());
    EXPECT_EQ(0u, sink3->CallCount());
}

TEST(Cookies, SingleSinkListEmptiesAndRestartsAtOne)
{
    EventPoint events;
    auto sink = TestSink::Create();
    ASSERT_EQ(1u, events.Advise(sink.get()));
    ASSERT_EQ(S_OK, events.point->Unadvise(1));
    EXPECT_TRUE(ConnectedCookies(events.point.get()).empty());
    EXPECT_EQ(1u, events.Advise(sink.get()));
    EXPECT_EQ(2u, events.Advise(sink.get()));
}

TEST(Cookies, UnadviseOfUnknownCookiesChangesNothing)
{
    EventPoint events;
    auto sink = TestSink::Create();
    // Empty list, then a single sink held directly, then an array of 4.
    EXPECT_EQ(CONNECT_E_NOCONNECTION, events.point->Unadvise(1));
    events.Advise(sink.get());
    EXPECT_EQ(CONNECT_E_NOCONNECTION, events.point->Unadvise(0));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, events.point->Unadvise(2));
    events.Advise(sink.get());
    EXPECT_EQ(CONNECT_E_NOCONNECTION, events.point->Unadvise(0));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, events.point->Unadvise(5));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, events.point->Unadvise(0xFFFFFFFF));
    // Slot 3 exists in the array but was never used.
    EXPECT_EQ(CONNECT_E_NOCONNECTION, events.point->Unadvise(3));
    EXPECT_EQ(S_OK, events.point->Unadvise(2));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, events.point->Unadvise(2));
    EXPECT_EQ((std::vector<DWORD>{1}), ConnectedCookies(events.point.get()));
}

TEST(Cookies, ListHoldsExactlyOneReferencePerConnection)
{
    auto sink = TestSink::Create();
    const ULONG before = sink->RefCount();
    {
        EventPoint events;
        DWORD first = events.Advise(sink.get());
        events.Advise(sink.get());
        EXPECT_EQ(before + 2, sink->RefCount());
        ASSERT_EQ(S_OK, events.point->Unadvise(first));
        EXPECT_EQ(before + 1, sink->RefCount());
    }
    // Destroying the object drops the connection nobody unadvised.
    EXPECT_EQ(before, sink->RefCount());
}

TEST(Cookies, SinkWithoutTheEventInterfaceIsRefused)
{
    EventPoint events;
    auto stranger = TestSink::Create({.answersEventDiid = false});
    const ULONG before = stranger->RefCount();
    DWORD cookie = 0xDEAD;
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT, events.point->Advise(stranger.get(), &cookie));
    EXPECT_EQ(0u, cookie);
    EXPECT_EQ(before, stranger->RefCount());
    // The refused sink used no slot.
    auto sink = TestSink::Create();
    EXPECT_EQ(1u, events.Advise(sink.get()));
}

TEST(Cookies, AdviseRejectsNullArguments)
{
    EventPoint events;
    auto sink = TestSink::Create();
    DWORD cookie = 0xDEAD;
    EXPECT_EQ(E_POINTER, events.point->Advise(nullptr, &cookie));
    EXPECT_EQ(0u, cookie);
    EXPECT_EQ(E_POINTER, events.point->Advise(sink.get(), nullptr));
    EXPECT_EQ(1u, events.Advise(sink.get()));
}

// The slot layout behind the cookies: 0, 1, then 4, 8, 16 slots; never shrinking.
TEST(ConnectionListLayout, GrowsFromDirectSinkToDoublingArray)
{
    auto sink = TestSink::Create();
    ConnectionList list;
    EXPECT_EQ(0u, list.size());
    const std::vector<std::size_t> sizeAfterAdd = {1, 4, 4, 4, 8, 8, 8, 8, 16};
    for (std::size_t i = 0; i < sizeAfterAdd.size(); ++i) {
        sink->AddRef();  // the list takes this reference over
        EXPECT_EQ(i + 1, list.Add(sink.get()));
        EXPECT_EQ(sizeAfterAdd[i], list.size()) << "after add " << i + 1;
    }
    // Emptying an array keeps its size; the next sink takes the lowest slot.
    for (DWORD cookie = 1; cookie <= 9; ++cookie) {
        ComPtr<IUnknown> removed;
        removed.attach(list.Remove(cookie));
        EXPECT_TRUE(removed);
    }
    EXPECT_EQ(16u, list.size());
    EXPECT_EQ(nullptr, list.Remove(1));
    sink->AddRef();
    EXPECT_EQ(1u, list.Add(sink.get()));
    EXPECT_EQ(static_cast<IUnknown*>(sink.get()), list.at(0));
    EXPECT_EQ(nullptr, list.at(1));
    EXPECT_EQ(nullptr, list.at(16));
}

TEST(ConnectionListLayout, SingleSinkRemovedLeavesAnEmptyList)
{
    auto sink = TestSink::Create();
    const ULONG before = sink->RefCount();
    ConnectionList list;
    sink->AddRef();
    ASSERT_EQ(1u, list.Add(sink.get()));
    EXPECT_EQ(1u, list.size());
    ComPtr<IUnknown> removed;
    removed.attach(list.Remove(1));
    EXPECT_EQ(0u, list.size());
    removed.reset();
    EXPECT_EQ(before, sink->RefCount());
}
