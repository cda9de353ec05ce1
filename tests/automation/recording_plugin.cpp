#include "automation/recording_plugin.h"

namespace quorvex::test {

STDMETHODIMP RecordingPlugin::QueryInterface(REFIID iid, void** out)
{
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, IID_IPkiAuthenticationPlugin)) {
        *out = static_cast<IPkiAuthenticationPlugin*>(this);
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

RecordingPlugin::Call& RecordingPlugin::Record(DISPID dispid, std::initializer_list<BSTR> strings, LONG number)
{
    Call call;
    call.dispid = dispid;
    for (BSTR s : strings) {
        call.strings.emplace_back(s ? s : L"", ::SysStringLen(s));
        call.nullStrings.push_back(s == nullptr);
    }
    call.number = number;
    calls.push_back(call);
    return calls.back();
}

STDMETHODIMP RecordingPlugin::OpenDevice(BSTR deviceID, LONG* returnCode)
{
    Record(1, {deviceID});
    *returnCode = nextNumber;
    return nextResult;
}

STDMETHODIMP RecordingPlugin::StartCapture(BSTR username, BSTR domainname, BSTR pin, LONG* returnCode)
{
    Record(2, {username, domainname, pin});
    *returnCode = nextNumber;
    return nextResult;
}

STDMETHODIMP RecordingPlugin::EndCapture(LONG* returnCode)
{
    Record(3, {});
    *returnCode = nextNumber;
    return nextResult;
}

STDMETHODIMP RecordingPlugin::GetDeviceID(LONG refCount, BSTR* deviceID)
{
    Record(4, {}, refCount);
    *deviceID = ::SysAllocString((L"device " + std::to_wstring(refCount)).c_str());
    return nextResult;
}

STDMETHODIMP RecordingPlugin::GetDeviceCount(BSTR username, BSTR domainname, LONG* refCount)
{
    Record(5, {username, domainname});
    *refCount = nextNumber;
    return nextResult;
}

STDMETHODIMP RecordingPlugin::GetStatusString(LONG statusCode, BSTR* statusString, LONG* returnCode)
{
    Record(6, {}, statusCode);
    *statusString = ::SysAllocString((L"status " + std::to_wstring(statusCode)).c_str());
    *returnCode = nextNumber;
    return nextResult;
}

}  // namespace quorvex::test
