// GetIDsOfNames: the fixed table of method names.
#include <gtest/gtest.h>

#include "automation/com_apartment.h"
#include "module/automation.h"
#include "support/quorvex_dll.h"
#include "win/com_ptr.h"

namespace quorvex::test {
namespace {

DISPID Lookup(const wchar_t* name, HRESULT* hr)
{
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID dispid = -99;
    *hr = GetPluginIDsOfNames(names, 1, &dispid);
    return dispid;
}

TEST(DispatchNames, EveryMethodHasItsDispid)
{
    const struct {
        const wchar_t* name;
        DISPID dispid;
    } table[] = {{L"OpenDevice", 1},  {L"StartCapture", 2},   {L"EndCapture", 3},
                 {L"GetDeviceID", 4}, {L"GetDeviceCount", 5}, {L"GetStatusString", 6}};
    for (const auto& entry : table) {
        HRESULT hr = E_FAIL;
        EXPECT_EQ(Lookup(entry.name, &hr), entry.dispid) << entry.name;
        EXPECT_EQ(hr, S_OK) << entry.name;
    }
}

TEST(DispatchNames, CaseOfAsciiLettersDoesNotMatter)
{
    HRESULT hr = E_FAIL;
    EXPECT_EQ(Lookup(L"getdeviceid", &hr), 4);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(Lookup(L"GETSTATUSSTRING", &hr), 6);
    EXPECT_EQ(hr, S_OK);
}

TEST(DispatchNames, NearMissesAreUnknown)
{
    // Turkish capital dotted I is not a case variant of ASCII i here.
    for (const wchar_t* name : {L"GetDevice", L"GetDeviceIDs", L"", L"G\u0130tDeviceID", L"deviceID", L"returnCode"}) {
        HRESULT hr = S_OK;
        Lookup(name, &hr);
        EXPECT_EQ(hr, DISP_E_UNKNOWNNAME) << "name length " << wcslen(name);
    }
}

TEST(DispatchNames, ParameterNamesAreNotRecognised)
{
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"OpenDevice"), const_cast<LPOLESTR>(L"deviceID"),
                        const_cast<LPOLESTR>(L"EndCapture")};
    DISPID dispids[] = {-99, -99, -99};
    EXPECT_EQ(GetPluginIDsOfNames(names, 3, dispids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(dispids[0], 1);
    EXPECT_EQ(dispids[1], -99);
    EXPECT_EQ(dispids[2], -99) << "the lookup stops at the first unknown name";
}

class DispatchNamesThroughDll : public ApartmentTest {};

TEST_F(DispatchNamesThroughDll, LateBoundCallerFindsAndCallsAMethodByName)
{
    QuorvexDll dll;
    ComPtr<IDispatch> object;
    ASSERT_EQ(dll.CreateInstance(nullptr, IID_IDispatch, object.put_void()), S_OK);

    LPOLESTR names[] = {const_cast<LPOLESTR>(L"getdeviceid")};
    DISPID dispid = -99;
    ASSERT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid), S_OK);
    EXPECT_EQ(dispid, 4);

    VARIANT argument;
    ::VariantInit(&argument);
    V_VT(&argument) = VT_I4;
    V_I4(&argument) = 0;
    DISPPARAMS params{&argument, nullptr, 1, 0};
    VARIANT result;
    ::VariantInit(&result);
    EXPECT_EQ(object->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr, nullptr),
              S_OK);
    // A fresh object has no reader names: slot 0 is a null string.
    EXPECT_EQ(V_VT(&result), VT_BSTR);
    EXPECT_EQ(V_BSTR(&result), nullptr);
    ::VariantClear(&result);
}

}  // namespace
}  // namespace quorvex::test
