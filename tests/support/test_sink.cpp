#include "test_sink.h"

#include <cstring>
#include <utility>

namespace quorvex::test {

const IID kEventDiid = {0x04F254A0, 0x9B6D, 0x4167, {0xA5, 0x02, 0x6C, 0x8C, 0xB0, 0xA6, 0xB5, 0xA5}};

ComPtr<TestSink> TestSink::Create() { return Create(Options{}); }

ComPtr<TestSink> TestSink::Create(Options options)
{
    ComPtr<TestSink> sink;
    sink.attach(new TestSink(options));
    return sink;
}

TestSink::~TestSink()
{
    if (destroyObserver_) destroyObserver_();
}

void TestSink::SetDestroyObserver(std::function<void()> observer)
{
    std::lock_guard<std::mutex> guard(lock_);
    destroyObserver_ = std::move(observer);
}

STDMETHODIMP TestSink::QueryInterface(REFIID iid, void** out)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        (options_.answersEventDiid && IsEqualIID(iid, kEventDiid))) {
        *out = static_cast<IDispatch*>(this);
    } else if (options_.answersPropertyNotifySink && IsEqualIID(iid, IID_IPropertyNotifySink)) {
        *out = static_cast<IPropertyNotifySink*>(&propertyNotify_);
    } else {
        return E_NOINTERFACE;
    }
    static_cast<IUnknown*>(*out)->AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) TestSink::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

STDMETHODIMP_(ULONG) TestSink::Release()
{
    const LONG count = InterlockedDecrement(&refs_);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

ULONG TestSink::RefCount() const
{
    return static_cast<ULONG>(InterlockedCompareExchange(const_cast<LONG*>(&refs_), 0, 0));
}

STDMETHODIMP TestSink::GetTypeInfoCount(UINT*)
{
    CountOtherCall();
    return E_NOTIMPL;
}

STDMETHODIMP TestSink::GetTypeInfo(UINT, LCID, ITypeInfo**)
{
    CountOtherCall();
    return E_NOTIMPL;
}

STDMETHODIMP TestSink::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*)
{
    CountOtherCall();
    return E_NOTIMPL;
}

void TestSink::CountOtherCall()
{
    std::lock_guard<std::mutex> guard(lock_);
    ++otherCalls_;
}

STDMETHODIMP TestSink::PropertyNotify::OnChanged(DISPID)
{
    owner_.CountOtherCall();
    return S_OK;
}

STDMETHODIMP TestSink::PropertyNotify::OnRequestEdit(DISPID)
{
    owner_.CountOtherCall();
    return S_OK;
}

STDMETHODIMP TestSink::Invoke(DISPID dispid, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params, VARIANT* result,
                              EXCEPINFO* exception, UINT* argumentError)
{
    SinkCall call;
    call.dispid = dispid;
    call.iidNull = IsEqualIID(iid, IID_NULL);
    call.locale = locale;
    call.flags = flags;
    call.resultGiven = result != nullptr;
    call.resultWasEmpty = result && result->vt == VT_EMPTY;
    call.excepInfoGiven = exception != nullptr;
    if (exception) {
        static const EXCEPINFO zero{};
        call.excepInfoZeroed = std::memcmp(exception, &zero, sizeof zero) == 0;
    }
    call.argErrorGiven = argumentError != nullptr;
    call.threadId = GetCurrentThreadId();
    if (params) {
        call.argCount = params->cArgs;
        call.namedArgCount = params->cNamedArgs;
        for (UINT i = 0; i < params->cArgs && params->rgvarg; ++i) call.types.push_back(params->rgvarg[i].vt);
        if (params->cArgs > 0 && params->rgvarg && params->rgvarg[0].vt == VT_I4) call.value = params->rgvarg[0].lVal;
        for (UINT i = params->cArgs; i-- > 0 && params->rgvarg;) {
            const VARIANT& arg = params->rgvarg[i];
            if (arg.vt != VT_BSTR) continue;
            call.strings.emplace_back(arg.bstrVal ? arg.bstrVal : L"", SysStringLen(arg.bstrVal));
            call.bstrPointers.push_back(arg.bstrVal);
        }
        for (UINT i = 0; options_.spoilsArguments && i < params->cArgs; ++i) {
            params->rgvarg[i].vt = VT_I2;
            params->rgvarg[i].iVal = -1;
        }
    }

    Handler handler;
    HRESULT hr;
    std::wstring source, description;
    {
        std::lock_guard<std::mutex> guard(lock_);
        handler = handler_;
        hr = failWith_;
        source = failSource_;
        description = failDescription_;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        calls_.push_back(call);
    }
    changed_.notify_all();
    if (handler) handler(call);

    if (FAILED(hr) && exception) {
        exception->scode = hr;
        if (!source.empty()) exception->bstrSource = SysAllocString(source.c_str());
        if (!description.empty()) exception->bstrDescription = SysAllocString(description.c_str());
    }
    return hr;
}

void TestSink::FailWith(HRESULT hr, std::wstring source, std::wstring description)
{
    std::lock_guard<std::mutex> guard(lock_);
    failWith_ = hr;
    failSource_ = std::move(source);
    failDescription_ = std::move(description);
}

void TestSink::SetHandler(Handler handler)
{
    std::lock_guard<std::mutex> guard(lock_);
    handler_ = std::move(handler);
}

std::vector<SinkCall> TestSink::Calls() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return calls_;
}

std::size_t TestSink::CallCount() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return calls_.size();
}

bool TestSink::WaitForCalls(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return calls_.size() >= count; });
}

void TestSink::ClearCalls()
{
    std::lock_guard<std::mutex> guard(lock_);
    calls_.clear();
}

std::size_t TestSink::OtherCalls() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return otherCalls_;
}

}  // namespace quorvex::test
