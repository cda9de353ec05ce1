// A stand-in IPkiAuthenticationPlugin for tests that call the dispatcher on
// an object of their own: it lives on the test's stack, answers every
// interface with itself and E_NOTIMPL from every method. Tests override the
// methods they watch.
#pragma once

#include <windows.h>

#include "quorvex_h.h"

namespace quorvex::test {

class StubPlugin : public IPkiAuthenticationPlugin {
public:
    STDMETHODIMP QueryInterface(REFIID, void** out) override
    {
        *out = this;
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }
    STDMETHODIMP OpenDevice(BSTR, LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP StartCapture(BSTR, BSTR, BSTR, LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP EndCapture(LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP GetDeviceID(LONG, BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP GetDeviceCount(BSTR, BSTR, LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP GetStatusString(LONG, BSTR*, LONG*) override { return E_NOTIMPL; }
};

}  // namespace quorvex::test
