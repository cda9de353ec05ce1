// A real COM object implementing IPkiAuthenticationPlugin that records the
// values the dispatcher hands to each method, so that argument order and
// coercion can be checked without a smart-card service behind them.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>
#include <vector>

#include "quorvex_h.h"

namespace quorvex::test {

class RecordingPlugin final : public IPkiAuthenticationPlugin {
public:
    struct Call {
        DISPID dispid = 0;
        std::vector<std::wstring> strings;  // BSTR parameters in declaration order
        std::vector<bool> nullStrings;      // which of them arrived as null
        LONG number = 0;                    // the LONG parameter, if any
    };

    std::vector<Call> calls;
    HRESULT nextResult = S_OK;  // what every method returns
    LONG nextNumber = 0;        // stored into the method's LONG out-parameter

    // IUnknown: lives on the test's stack.
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    // IDispatch is not what is under test here.
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }

    STDMETHODIMP OpenDevice(BSTR deviceID, LONG* returnCode) override;
    STDMETHODIMP StartCapture(BSTR username, BSTR domainname, BSTR pin, LONG* returnCode) override;
    STDMETHODIMP EndCapture(LONG* returnCode) override;
    // Hands out "device <n>".
    STDMETHODIMP GetDeviceID(LONG refCount, BSTR* deviceID) override;
    STDMETHODIMP GetDeviceCount(BSTR username, BSTR domainname, LONG* refCount) override;
    // Hands out "status <n>".
    STDMETHODIMP GetStatusString(LONG statusCode, BSTR* statusString, LONG* returnCode) override;

private:
    Call& Record(DISPID dispid, std::initializer_list<BSTR> strings, LONG number = 0);
};

}  // namespace quorvex::test
