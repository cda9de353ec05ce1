// What a sink sees when the object raises StatusChanged, DataReady and Failed,
// and how a failing sink ends a pass.
#include <gtest/gtest.h>

#include <thread>

#include "plugin/event_source.h"
#include "plugin/smart_card_auth_plugin.h"
#include "support/plugin_helpers.h"
#include "support/test_sink.h"
#include "win/unique_bstr.h"

using quorvex::ComPtr;
using quorvex::MakeBstr;
using quorvex::UniqueBstr;
using namespace quorvex::test;

namespace {

class EventRaising : public ::testing::Test {
protected:
    ComPtr<TestSink> Connect(TestSink::Options options = {})
    {
        auto sink = TestSink::Create(options);
        DWORD cookie = 0;
        EXPECT_EQ(S_OK, AdviseEvents(plugin_.get(), sink.get(), &cookie));
        return sink;
    }
    quorvex::CSmartCardAuthPlugin& object() { return PluginObject(plugin_.get()); }

    ComPtr<IPkiAuthenticationPlugin> plugin_ = CreatePlugin();
};

void ExpectInvokeConventions(const SinkCall& call)
{
    EXPECT_TRUE(call.iidNull);
    EXPECT_EQ(static_cast<LCID>(LOCALE_USER_DEFAULT), call.locale);
    EXPECT_EQ(DISPATCH_METHOD, call.flags);
    EXPECT_EQ(0u, call.namedArgCount);
    EXPECT_TRUE(call.resultGiven && call.resultWasEmpty);
    EXPECT_TRUE(call.excepInfoGiven && call.excepInfoZeroed);
    EXPECT_TRUE(call.argErrorGiven);
}

// A sink that spoils the argument block it is given, to show that the next
// sink gets arguments built afresh.
class ScribblingSink final : public IDispatch {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch) && !IsEqualIID(iid, kEventDiid))
            return E_NOINTERFACE;
        *out = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG count = InterlockedDecrement(&refs_);
        if (count == 0) delete this;
        return static_cast<ULONG>(count);
    }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override
    {
        for (UINT i = 0; i < params->cArgs; ++i) {
            params->rgvarg[i].vt = VT_I2;
            params->rgvarg[i].iVal = -1;
        }
        return S_OK;
    }

private:
    LONG refs_ = 1;
};

}  // namespace

TEST_F(EventRaising, StatusChangedAndFailedCarryOneLongOnTheCallingThread)
{
    auto sink = Connect();
    EXPECT_EQ(S_OK, object().FireStatusChanged(0x20CC));
    EXPECT_EQ(S_OK, object().FireFailed(static_cast<LONG>(0x8007000E)));
    std::thread([this] { object().FireFailed(211); }).join();

    const auto calls = sink->Calls();
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ(1, calls[0].dispid);
    EXPECT_EQ(0x20CC, calls[0].value);
    EXPECT_EQ(3, calls[1].dispid);
    EXPECT_EQ(static_cast<LONG>(0x8007000E), calls[1].value);
    EXPECT_EQ(211, calls[2].value);
    for (const SinkCall& call : calls) {
        ExpectInvokeConventions(call);
        EXPECT_EQ(1u, call.argCount);
        EXPECT_EQ(std::vector<VARTYPE>{VT_I4}, call.types);
    }
    EXPECT_EQ(GetCurrentThreadId(), calls[0].threadId);
    EXPECT_NE(GetCurrentThreadId(), calls[2].threadId);
}

TEST_F(EventRaising, DataReadyListsCspFirstButParametersReadInDeclaredOrder)
{
    auto sink = Connect();
    UniqueBstr card = MakeBstr(L"Card X"), reader = MakeBstr(L"Reader 0"), csp = MakeBstr(L"CSP Y");
    EXPECT_EQ(S_OK, object().FireDataReady(card.get(), reader.get(), csp.get()));

    const auto calls = sink->Calls();
    ASSERT_EQ(1u, calls.size());
    const SinkCall& call = calls[0];
    ExpectInvokeConventions(call);
    EXPECT_EQ(2, call.dispid);
    EXPECT_EQ(3u, call.argCount);
    EXPECT_EQ((std::vector<VARTYPE>{VT_BSTR, VT_BSTR, VT_BSTR}), call.types);
    // By parameter: smartCardName, smartCardReader, cspName.
    EXPECT_EQ((std::vector<std::wstring>{L"Card X", L"Reader 0", L"CSP Y"}), call.strings);
    // The caller's strings themselves, not copies.
    EXPECT_EQ((std::vector<const void*>{card.get(), reader.get(), csp.get()}), call.bstrPointers);
    // ... and still owned by the caller afterwards.
    EXPECT_EQ(L"Card X", std::wstring(card.view()));
}

TEST_F(EventRaising, EverySinkGetsFreshArguments)
{
    ComPtr<IDispatch> scribbler;
    scribbler.attach(new ScribblingSink);
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, AdviseEvents(plugin_.get(), scribbler.get(), &cookie));
    auto sink = Connect();

    UniqueBstr card = MakeBstr(L"c"), reader = MakeBstr(L"r"), csp = MakeBstr(L"p");
    object().FireStatusChanged(0x50DB);
    object().FireDataReady(card.get(), reader.get(), csp.get());
    const auto calls = sink->Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(0x50DB, calls[0].value);
    EXPECT_EQ((std::vector<std::wstring>{L"c", L"r", L"p"}), calls[1].strings);
}

TEST_F(EventRaising, FailingSinkEndsThePassButNotTheNextEvent)
{
    auto first = Connect(), second = Connect(), third = Connect();
    second->FailWith(DISP_E_EXCEPTION, L"Sink", L"refused");

    EXPECT_EQ(DISP_E_EXCEPTION, object().FireStatusChanged(0x10C8));
    EXPECT_EQ(1u, first->CallCount());
    EXPECT_EQ(1u, second->CallCount());
    EXPECT_EQ(0u, third->CallCount());

    EXPECT_EQ(DISP_E_EXCEPTION, object().FireFailed(218));
    EXPECT_EQ(2u, first->CallCount());
    EXPECT_EQ(2u, second->CallCount());
    EXPECT_EQ(0u, third->CallCount());

    second->FailWith(S_OK);
    EXPECT_EQ(S_OK, object().FireFailed(218));
    EXPECT_EQ(1u, third->CallCount());
}

TEST_F(EventRaising, ResultIsTheLastSinksOrSOkWithoutSinks)
{
    EXPECT_EQ(S_OK, object().FireStatusChanged(1));
    UniqueBstr empty;
    EXPECT_EQ(S_OK, object().FireDataReady(empty.get(), empty.get(), empty.get()));

    auto first = Connect(), second = Connect();
    first->FailWith(S_FALSE);
    EXPECT_EQ(S_OK, object().FireStatusChanged(1));
    second->FailWith(S_FALSE);
    first->FailWith(S_OK);
    EXPECT_EQ(S_FALSE, object().FireFailed(1));
    EXPECT_EQ(2u, first->CallCount());
    EXPECT_EQ(2u, second->CallCount());
}

TEST_F(EventRaising, RaisingRoutinesWalkTheSnapshotTheyAreGiven)
{
    auto connected = Connect();
    auto other = TestSink::Create();
    // The capture worker raises on a snapshot taken when it started.
    quorvex::SinkSnapshot snapshot = object().eventConnectionPoint().Snapshot();
    ASSERT_EQ(1u, snapshot.size());
    snapshot.emplace_back(static_cast<IUnknown*>(other.get()));

    UniqueBstr card = MakeBstr(L"c");
    EXPECT_EQ(S_OK, quorvex::RaiseStatusChanged(snapshot, 0x20D1));
    EXPECT_EQ(S_OK, quorvex::RaiseDataReady(snapshot, card.get(), card.get(), card.get()));
    EXPECT_EQ(S_OK, quorvex::RaiseFailed(snapshot, 213));
    EXPECT_EQ(3u, connected->CallCount());
    EXPECT_EQ(3u, other->CallCount());
    EXPECT_EQ(S_OK, quorvex::RaiseFailed({}, 213));
}
