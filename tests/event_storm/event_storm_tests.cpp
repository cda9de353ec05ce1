// Event storms: a long stream of events to eight sinks while the subscriptions
// change under it, from another thread and from inside handlers.
#include <gtest/gtest.h>

#include <objbase.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>
#include <vector>

#include "plugin/smart_card_auth_plugin.h"
#include "storm_sink.h"
#include "support/plugin_helpers.h"
#include "support/stress_size.h"
#include "support/test_sink.h"

using quorvex::ComPtr;
using namespace quorvex::test;
using namespace std::chrono_literals;

namespace {

constexpr int kSteadySinks = 6;

DWORD Advise(IPkiAuthenticationPlugin* plugin, IUnknown* sink)
{
    DWORD cookie = 0;
    EXPECT_EQ(S_OK, AdviseEvents(plugin, sink, &cookie));
    return cookie;
}

// True while `cookie` names a connection of the event connection point.
bool Connected(IUnknown* plugin, DWORD cookie)
{
    ComPtr<IEnumConnections> connections;
    if (FAILED(FindConnectionPoint(plugin, kEventDiid)->EnumConnections(connections.put()))) return false;
    bool found = false;
    CONNECTDATA data{};
    while (connections->Next(1, &data, nullptr) == S_OK) {
        found = found || data.dwCookie == cookie;
        data.pUnk->Release();
    }
    return found;
}

}  // namespace

// Six sinks stay connected; a seventh slot is churned by the host's thread
// (advise, unadvise, with a fresh sink each round) and the eighth sink
// unadvises itself from its handler, then is advised again by the host.
TEST(EventStorm, EightSinksWhileSubscriptionsChange)
{
    const LONG events = static_cast<LONG>(StressCount(200000, 1000000));
    auto plugin = CreatePlugin();
    std::vector<ComPtr<StormSink>> steady;
    std::vector<DWORD> steadyCookies;
    for (int i = 0; i < kSteadySinks; ++i) {
        steady.push_back(StormSink::Create());
        steadyCookies.push_back(Advise(plugin.get(), steady.back().get()));
    }
    auto selfRemoving = StormSink::Create();
    std::atomic<DWORD> selfCookie{0};
    long long selfUnadvises = 0;
    selfRemoving->handler = [&](LONG) {
        if (const DWORD cookie = selfCookie.exchange(0)) {
            EXPECT_EQ(S_OK, UnadviseEvents(plugin.get(), cookie));
            ++selfUnadvises;
            selfRemoving->unadvised = true;
        }
    };

    selfCookie = Advise(plugin.get(), selfRemoving.get());

    std::atomic<bool> done{false};
    std::thread raiser([&] {
        for (LONG i = 0; i < events; ++i) PluginObject(plugin.get()).FireStatusChanged(i);
        done = true;
    });

    long long rounds = 0, transientCalls = 0, faults = 0;
    // A pass may still hold its snapshot's reference for a moment after
    // Unadvise; once the raiser is done no reference may be left.
    std::vector<ComPtr<StormSink>> churned;
    while (!done) {
        auto transient = StormSink::Create();
        const DWORD cookie = Advise(plugin.get(), transient.get());
        std::this_thread::yield();
        ASSERT_EQ(S_OK, UnadviseEvents(plugin.get(), cookie));
        transient->unadvised = true;
        if (selfRemoving->unadvised && selfCookie.load() == 0) {
            selfRemoving->unadvised = false;
            selfCookie = Advise(plugin.get(), selfRemoving.get());
        }
        std::this_thread::yield();
        // Whatever the raiser does from here on, this sink is out of it.
        faults += transient->callsAfterUnadvise() + transient->outOfSequence();
        transientCalls += transient->calls();
        churned.push_back(std::move(transient));
        ++rounds;
    }
    raiser.join();
    long long heldSinks = 0;
    for (const auto& sink : churned) heldSinks += sink->references() != 1;
    EXPECT_EQ(0, heldSinks);

    for (const auto& sink : steady) {
        EXPECT_EQ(events, sink->calls());
        EXPECT_EQ(0, sink->outOfSequence());
    }
    EXPECT_EQ(0, faults);
    EXPECT_EQ(0, selfRemoving->callsAfterUnadvise());
    std::printf(
        "[ storm    ] %ld events x 8 sinks: %lld churn rounds (%lld events to churned sinks), "
        "%lld self-unadvises\n",
        static_cast<long>(events), rounds, transientCalls, selfUnadvises);

    for (DWORD cookie : steadyCookies) EXPECT_EQ(S_OK, UnadviseEvents(plugin.get(), cookie));
    plugin.reset();
    // Neither the connections nor the passes kept a reference.
    for (const auto& sink : steady) EXPECT_EQ(1u, sink->references());
    EXPECT_EQ(1u, selfRemoving->references());
}

// A handler on another thread that calls back into the host's single-threaded
// apartment while the host is inside Unadvise: Unadvise waits for the handler,
// and keeps the host's apartment answering meanwhile.
TEST(EventStorm, UnadviseKeepsTheHostApartmentAnsweringWhileItWaits)
{
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    {
        auto plugin = CreatePlugin();
        auto sink = TestSink::Create();
        const DWORD cookie = Advise(plugin.get(), sink.get());
        // An object of the host's apartment, handed to the worker marshalled.
        auto hostObject = TestSink::Create();
        IStream* stream = nullptr;
        ASSERT_EQ(S_OK, ::CoMarshalInterThreadInterfaceInStream(IID_IDispatch, hostObject.get(), &stream));

        std::atomic<bool> handlerEntered{false}, handlerDone{false};
        sink->SetHandler([&](const SinkCall&) {
            handlerEntered = true;
            // The host is in Unadvise once the connection is gone from the list.
            while (Connected(plugin.get(), cookie)) std::this_thread::sleep_for(1ms);
            ComPtr<IDispatch> proxy;
            if (SUCCEEDED(::CoGetInterfaceAndReleaseStream(stream, IID_IDispatch, proxy.put_void()))) {
                UINT count = 0;
                proxy->GetTypeInfoCount(&count);  // answered by the host's thread
            }
            handlerDone = true;
        });
        std::thread worker([&] {
            ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            PluginObject(plugin.get()).FireFailed(218);
            ::CoUninitialize();
        });
        while (!handlerEntered) std::this_thread::yield();
        EXPECT_EQ(S_OK, UnadviseEvents(plugin.get(), cookie));
        EXPECT_TRUE(handlerDone);
        worker.join();
        EXPECT_EQ(1u, hostObject->OtherCalls());
    }
    ::CoUninitialize();
}
