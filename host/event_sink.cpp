#include "host/event_sink.h"

#include "plugin/dispids.h"
#include "quorvex_h.h"

namespace quorvex::host {
namespace {

std::wstring BstrArgument(const VARIANT& argument)
{
    if (argument.vt == VT_BSTR && argument.bstrVal) return {argument.bstrVal, ::SysStringLen(argument.bstrVal)};
    return {};
}

}  // namespace

std::optional<PluginEvent> EventSink::Next(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock<std::mutex> guard(lock_);
    if (!arrived_.wait_until(guard, deadline, [this] { return !events_.empty(); })) return std::nullopt;
    PluginEvent event = std::move(events_.front());
    events_.pop_front();
    return event;
}

void EventSink::Push(PluginEvent event)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        events_.push_back(std::move(event));
    }
    arrived_.notify_all();
}

STDMETHODIMP EventSink::QueryInterface(REFIID iid, void** out)
{
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        IsEqualIID(iid, DIID__IPkiAuthenticationPluginEvents)) {
        *out = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) EventSink::AddRef() { return ++refs_; }

STDMETHODIMP_(ULONG) EventSink::Release()
{
    const ULONG count = --refs_;
    if (count == 0) delete this;
    return count;
}

STDMETHODIMP EventSink::GetTypeInfoCount(UINT* count)
{
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}

STDMETHODIMP EventSink::GetTypeInfo(UINT, LCID, ITypeInfo** info)
{
    if (info) *info = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP EventSink::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }

STDMETHODIMP EventSink::Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*)
{
    if (!params) return E_INVALIDARG;
    try {
        PluginEvent event{};
        switch (dispid) {
        case quorvex::kDispidStatusChanged:
        case quorvex::kDispidFailed:
            if (params->cArgs != 1 || params->rgvarg[0].vt != VT_I4) return DISP_E_TYPEMISMATCH;
            event.kind = dispid == quorvex::kDispidStatusChanged ? PluginEvent::Kind::StatusChanged
                                                                 : PluginEvent::Kind::Failed;
            event.code = params->rgvarg[0].lVal;
            break;
        case quorvex::kDispidDataReady:
            // The argument block lists the parameters last first.
            if (params->cArgs != 3) return DISP_E_BADPARAMCOUNT;
            event.kind = PluginEvent::Kind::DataReady;
            event.cardName = BstrArgument(params->rgvarg[2]);
            event.readerName = BstrArgument(params->rgvarg[1]);
            event.cspName = BstrArgument(params->rgvarg[0]);
            break;
        default: return DISP_E_MEMBERNOTFOUND;
        }
        Push(std::move(event));
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace quorvex::host
