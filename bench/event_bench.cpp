// Event fan-out: raising StatusChanged to 8 connected sinks through the event
// connection point, against a loop that calls the same 8 sinks' Invoke
// directly with the same argument block (goal: <= 1.3x). Two kinds of sink:
//   - minimal: Invoke checks the argument and keeps its value, nothing else;
//     it shows the event source's own cost per sink at its starkest;
//   - typed: the handler is a C++ method reached through the standard OLE
//     dispatch implementation (CreateStdDispatch over CreateDispTypeInfo),
//     the way a compiled host wires a typed handler to a dispatch sink.
#include <windows.h>
#include <ocidl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <utility>
#include <vector>

#include "bench/bench_clock.h"
#include "bench/stack_event_sink.h"
#include "plugin/smart_card_auth_plugin.h"
#include "tests/support/plugin_inspector.h"
#include "win/com_ptr.h"

using quorvex::ComPtr;

namespace {

constexpr int kSinks = 8;
constexpr int kEvents = 200000;
constexpr int kRounds = 9;

class BenchSink final : public StackEventSink {
public:
    STDMETHODIMP Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override
    {
        if (dispid != 1 || !params || params->cArgs != 1 || params->rgvarg[0].vt != VT_I4) return DISP_E_BADPARAMCOUNT;
        last_ = params->rgvarg[0].lVal;
        ++calls_;
        return S_OK;
    }
    long long calls() const { return calls_; }

private:
    volatile LONG last_ = 0;
    long long calls_ = 0;
};

// A handler method in the first vtable slot, reached through type information.
class TypedHandler {
public:
    virtual void STDMETHODCALLTYPE StatusChanged(LONG statusCode)
    {
        last_ = statusCode;
        ++calls_;
    }
    long long calls() const { return calls_; }

private:
    volatile LONG last_ = 0;
    long long calls_ = 0;
};

class TypedSink final : public IUnknown {
public:
    bool Init()
    {
        static PARAMDATA parameter{const_cast<OLECHAR*>(L"statusCode"), VT_I4};
        static METHODDATA method{
            const_cast<OLECHAR*>(L"StatusChanged"), &parameter, 1, 0, CC_STDCALL, 1, DISPATCH_METHOD, VT_EMPTY};
        static INTERFACEDATA description{&method, 1};
        ComPtr<ITypeInfo> classInfo, typeInfo;
        HREFTYPE interfaceRef = 0;
        // The interface behind the class that CreateDispTypeInfo describes:
        // the one whose functions Invoke looks up.
        if (FAILED(::CreateDispTypeInfo(&description, LOCALE_SYSTEM_DEFAULT, classInfo.put())) ||
            FAILED(classInfo->GetRefTypeOfImplType(0, &interfaceRef)) ||
            FAILED(classInfo->GetRefTypeInfo(interfaceRef, typeInfo.put())))
            return false;
        return SUCCEEDED(::CreateStdDispatch(this, &handler_, typeInfo.get(), inner_.put()));
    }
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown)) {
            *out = this;
            AddRef();
            return S_OK;
        }
        if (IsEqualIID(iid, DIID__IPkiAuthenticationPluginEvents)) return inner_->QueryInterface(IID_IDispatch, out);
        return inner_->QueryInterface(iid, out);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override { return --refs_; }  // lives on main's stack
    long long calls() const { return handler_.calls(); }

private:
    std::atomic<ULONG> refs_{1};
    TypedHandler handler_;
    ComPtr<IUnknown> inner_;
};

// The same call sequence the event source makes, minus the connection point.
void DirectFanOut(const std::vector<IDispatch*>& sinks, LONG value)
{
    for (IDispatch* sink : sinks) {
        VARIANT argument;
        ::VariantInit(&argument);
        argument.vt = VT_I4;
        argument.lVal = value;
        DISPPARAMS params{&argument, nullptr, 1, 0};
        VARIANT result;
        ::VariantInit(&result);
        EXCEPINFO exception{};
        UINT argumentError = 0;
        sink->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, &exception, &argumentError);
        ::VariantClear(&result);
    }
}

// Median ns per event of each body, their rounds interleaved so that drift in
// the machine's speed touches both alike.
template <typename Raise, typename Call>
std::pair<double, double> NsPerEvent(Raise raise, Call call)
{
    std::vector<double> raised, called;
    const auto round = [](auto& body, std::vector<double>& out) {
        const double start = NowMs();
        for (LONG i = 0; i < kEvents; ++i) body(i);
        out.push_back((NowMs() - start) * 1e6 / kEvents);
    };
    for (int i = 0; i < kRounds; ++i) {
        round(raise, raised);
        round(call, called);
    }
    std::sort(raised.begin(), raised.end());
    std::sort(called.begin(), called.end());
    return {raised[raised.size() / 2], called[called.size() / 2]};
}

template <typename Sink>
bool Measure(const char* kind, quorvex::PluginInspector object, IConnectionPoint* point, Sink (&sinks)[kSinks])
{
    std::vector<IDispatch*> direct;
    std::vector<DWORD> cookies;
    for (Sink& sink : sinks) {
        DWORD cookie = 0;
        IDispatch* dispatch = nullptr;
        if (FAILED(point->Advise(&sink, &cookie)) ||
            FAILED(sink.QueryInterface(DIID__IPkiAuthenticationPluginEvents, reinterpret_cast<void**>(&dispatch))))
            return false;
        dispatch->Release();  // the sink outlives the loop
        cookies.push_back(cookie);
        direct.push_back(dispatch);
    }

    const auto [raised, called] = NsPerEvent([&](LONG i) { object.FireStatusChanged(i); },
                                             [&](LONG i) { DirectFanOut(direct, i); });
    for (DWORD cookie : cookies) point->Unadvise(cookie);

    std::printf("%s sinks: StatusChanged to %d sinks through the connection point: %7.1f ns/event\n", kind, kSinks,
                raised);
    std::printf("%s sinks: the same %d Invoke calls made directly                : %7.1f ns/event\n", kind, kSinks,
                called);
    std::printf("  overhead %.1f ns per sink; ratio event fan-out / direct: %.2fx (goal <= 1.3x)\n",
                (raised - called) / kSinks, raised / called);

    long long calls = 0;
    for (const Sink& sink : sinks) calls += sink.calls();
    if (calls != 2LL * kRounds * kEvents * kSinks) {
        VARIANT argument;
        argument.vt = VT_I4;
        argument.lVal = 7;
        DISPPARAMS params{&argument, nullptr, 1, 0};
        std::printf("%s sinks: %lld of %lld calls arrived; a direct call answers 0x%08lX\n", kind, calls,
                    2LL * kRounds * kEvents * kSinks,
                    static_cast<unsigned long>(direct[0]->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                                                 &params, nullptr, nullptr, nullptr)));
        return false;
    }
    return true;
}

}  // namespace

int main()
{
    ComPtr<IPkiAuthenticationPlugin> plugin;
    if (FAILED(
            quorvex::CSmartCardAuthPlugin::CreateInstance(nullptr, IID_IPkiAuthenticationPlugin, plugin.put_void()))) {
        std::printf("cannot create the plug-in object\n");
        return 1;
    }
    quorvex::PluginInspector object(*static_cast<quorvex::CSmartCardAuthPlugin*>(plugin.get()));
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    plugin.query_to(IID_IConnectionPointContainer, container);
    container->FindConnectionPoint(DIID__IPkiAuthenticationPluginEvents, point.put());

    BenchSink minimal[kSinks];
    TypedSink typed[kSinks];
    for (TypedSink& sink : typed) {
        if (!sink.Init()) {
            std::printf("cannot build a typed sink\n");
            return 1;
        }
    }
    bool complete = Measure("minimal", object, point.get(), minimal);
    complete = Measure("typed  ", object, point.get(), typed) && complete;
    if (!complete) std::printf("some events did not reach every sink\n");
    return complete ? 0 : 1;
}
