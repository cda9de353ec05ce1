#include "storm_sink.h"

#include "support/test_sink.h"

namespace quorvex::test {

ComPtr<StormSink> StormSink::Create()
{
    ComPtr<StormSink> sink;
    sink.attach(new StormSink());
    return sink;
}

STDMETHODIMP StormSink::QueryInterface(REFIID iid, void** out)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch) && !IsEqualIID(iid, kEventDiid))
        return E_NOINTERFACE;
    *out = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) StormSink::Release()
{
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
}

STDMETHODIMP StormSink::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*)
{
    ++calls_;
    if (unadvised.load()) ++callsAfterUnadvise_;
    if (!params || params->cArgs != 1 || params->rgvarg[0].vt != VT_I4) return DISP_E_BADPARAMCOUNT;
    const LONG value = params->rgvarg[0].lVal;
    if (!first_ && value != last_ + 1) ++outOfSequence_;
    first_ = false;
    last_ = value;
    if (handler) handler(value);
    return S_OK;
}

}  // namespace quorvex::test
