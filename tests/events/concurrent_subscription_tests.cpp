// Subscriptions that change while a pass over the sinks runs: from inside a
// handler, and from another thread during a long stream of events.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "plugin/smart_card_auth_plugin.h"
#include "support/plugin_helpers.h"
#include "support/test_sink.h"

using quorvex::ComPtr;
using namespace quorvex::test;
using namespace std::chrono_literals;

namespace {

DWORD Advise(IPkiAuthenticationPlugin* plugin, TestSink* sink)
{
    DWORD cookie = 0;
    EXPECT_EQ(S_OK, AdviseEvents(plugin, sink, &cookie));
    return cookie;
}

// True when the sink received exactly the values first..last, in order.
::testing::AssertionResult ReceivedInOrder(const TestSink& sink, LONG first, LONG last)
{
    const auto calls = sink.Calls();
    if (calls.size() != static_cast<std::size_t>(last - first + 1))
        return ::testing::AssertionFailure() << calls.size() << " calls for " << (last - first + 1) << " events";
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].value != first + static_cast<LONG>(i))
            return ::testing::AssertionFailure() << "call " << i << " carried " << calls[i].value;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace

TEST(SubscriptionDuringEvent, HandlerUnadvisesItselfAndALaterSink)
{
    auto plugin = CreatePlugin();
    auto a = TestSink::Create(), b = TestSink::Create(), c = TestSink::Create();
    const DWORD cookieA = Advise(plugin.get(), a.get());
    Advise(plugin.get(), b.get());
    const DWORD cookieC = Advise(plugin.get(), c.get());
    bool aDestroyed = false;
    a->SetDestroyObserver([&] { aDestroyed = true; });
    a->SetHandler([&, plugin = plugin.get()](const SinkCall&) {
        EXPECT_EQ(S_OK, UnadviseEvents(plugin, cookieA));
        EXPECT_EQ(S_OK, UnadviseEvents(plugin, cookieC));
    });
    a.reset();  // from here on the connection list holds the only reference on `a`

    PluginObject(plugin.get()).FireStatusChanged(1);
    // `a` lived until the pass was done with it; c, unadvised before the pass
    // reached it, was never called.
    EXPECT_TRUE(aDestroyed);
    EXPECT_EQ(0u, c->CallCount());
    PluginObject(plugin.get()).FireStatusChanged(2);
    EXPECT_TRUE(ReceivedInOrder(*b.get(), 1, 2));
    EXPECT_EQ(0u, c->CallCount());
}

TEST(SubscriptionDuringEvent, SinkAdvisedFromAHandlerGetsTheNextEvent)
{
    auto plugin = CreatePlugin();
    auto first = TestSink::Create(), second = TestSink::Create(), late = TestSink::Create();
    Advise(plugin.get(), first.get());
    Advise(plugin.get(), second.get());
    DWORD lateCookie = 0;
    first->SetHandler([&](const SinkCall& call) {
        if (call.value == 1) {
            EXPECT_EQ(S_OK, AdviseEvents(plugin.get(), late.get(), &lateCookie));
        }
    });
    PluginObject(plugin.get()).FireStatusChanged(1);
    EXPECT_EQ(3u, lateCookie);
    PluginObject(plugin.get()).FireStatusChanged(2);
    EXPECT_TRUE(ReceivedInOrder(*first.get(), 1, 2));
    EXPECT_TRUE(ReceivedInOrder(*second.get(), 1, 2));
    EXPECT_TRUE(ReceivedInOrder(*late.get(), 2, 2));
}

// A host may free its sink as soon as Unadvise returns, so Unadvise from the
// host's thread waits for a handler running on another thread; the sink lives
// until that handler has returned.
TEST(SubscriptionDuringEvent, UnadviseWaitsForTheHandlerRunningOnAnotherThread)
{
    auto plugin = CreatePlugin();
    auto sink = TestSink::Create();
    const DWORD cookie = Advise(plugin.get(), sink.get());
    std::atomic<bool> destroyed{false}, handlerDone{false};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    sink->SetDestroyObserver([&] { destroyed = true; });
    sink->SetHandler([&, released](const SinkCall&) {
        released.wait();
        handlerDone = true;
    });

    std::thread worker([&] { PluginObject(plugin.get()).FireFailed(218); });
    ASSERT_TRUE(sink->WaitForCalls(1, 10s));
    auto unadvised = std::async(std::launch::async, [&] { return UnadviseEvents(plugin.get(), cookie); });
    EXPECT_EQ(std::future_status::timeout, unadvised.wait_for(200ms));
    release.set_value();
    EXPECT_EQ(S_OK, unadvised.get());
    EXPECT_TRUE(handlerDone);
    sink.reset();
    worker.join();
    EXPECT_TRUE(destroyed);
}

// Events stream from a worker thread while the host's thread keeps
// subscribing and unsubscribing other sinks.
TEST(SubscriptionDuringEvent, AdviseAndUnadviseFromAnotherThreadDuringManyEvents)
{
    constexpr LONG kEvents = 100000;
    auto plugin = CreatePlugin();
    auto steady1 = TestSink::Create(), steady2 = TestSink::Create();
    auto churnSlot = TestSink::Create();  // holds cookie 2 so that churn happens between the steady sinks
    Advise(plugin.get(), steady1.get());
    const DWORD churnSlotCookie = Advise(plugin.get(), churnSlot.get());
    Advise(plugin.get(), steady2.get());

    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (LONG i = 0; i < kEvents; ++i) PluginObject(plugin.get()).FireStatusChanged(i);
        done = true;
    });
    std::size_t rounds = 0;
    while (!done) {
        if (rounds == 10) {
            EXPECT_EQ(S_OK, UnadviseEvents(plugin.get(), churnSlotCookie));
        }
        auto transient = TestSink::Create();
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, AdviseEvents(plugin.get(), transient.get(), &cookie));
        std::this_thread::yield();
        ASSERT_EQ(S_OK, UnadviseEvents(plugin.get(), cookie));
        // A transient sink sees a run of consecutive events, each once.
        const auto calls = transient->Calls();
        for (std::size_t i = 1; i < calls.size(); ++i) ASSERT_EQ(calls[i - 1].value + 1, calls[i].value);
        ++rounds;
    }
    worker.join();

    EXPECT_TRUE(ReceivedInOrder(*steady1.get(), 0, kEvents - 1));
    EXPECT_TRUE(ReceivedInOrder(*steady2.get(), 0, kEvents - 1));
    EXPECT_GT(rounds, 10u);
}

namespace {

// A sink whose AddRef, once armed, advises another sink at its connection
// point, the way a proxy's AddRef may let an incoming call in. It lives in
// the test.
class ReenteringSink final : public IDispatch {
public:
    ReenteringSink(IConnectionPoint* point, IUnknown* other) noexcept : point_(point), other_(other) {}

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch) && !IsEqualIID(iid, kEventDiid)) {
            return E_NOINTERFACE;
        }
        *out = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override
    {
        if (armed.exchange(false)) reentered = point_->Advise(other_, &otherCookie);
        return ++refs_;
    }
    STDMETHODIMP_(ULONG) Release() override { return --refs_; }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return S_OK; }

    std::atomic<bool> armed{false};
    HRESULT reentered = E_PENDING;
    DWORD otherCookie = 0;

private:
    IConnectionPoint* point_;
    IUnknown* other_;
    std::atomic<ULONG> refs_{1};
};

}  // namespace

// EnumConnections takes the sinks' references outside the connection point's
// lock: a sink whose AddRef calls back into the connection point gets in.
TEST(SubscriptionDuringEvent, SinkWhoseAddRefAdvisesDuringEnumConnections)
{
    auto plugin = CreatePlugin();
    ComPtr<IConnectionPoint> point = FindConnectionPoint(plugin.get(), kEventDiid);
    auto other = TestSink::Create();
    ReenteringSink sink(point.get(), other.get());
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, point->Advise(&sink, &cookie));
    sink.armed = true;

    auto enumerated = std::async(std::launch::async, [&] {
        ComPtr<IEnumConnections> connections;
        const HRESULT hr = point->EnumConnections(connections.put());
        CONNECTDATA data{};
        while (SUCCEEDED(hr) && connections->Next(1, &data, nullptr) == S_OK) data.pUnk->Release();
        return hr;
    });
    if (enumerated.wait_for(10s) != std::future_status::ready) {
        // Stuck on its own lock: leave the object and the thread as they are.
        (void)point.detach();
        (void)plugin.detach();
        new auto(std::move(enumerated));
        FAIL() << "EnumConnections called the sink's AddRef under its lock";
    }
    EXPECT_EQ(S_OK, enumerated.get());
    EXPECT_EQ(S_OK, sink.reentered);
    EXPECT_EQ(2u, sink.otherCookie);
    EXPECT_EQ(S_OK, point->Unadvise(sink.otherCookie));
    EXPECT_EQ(S_OK, point->Unadvise(cookie));
}
