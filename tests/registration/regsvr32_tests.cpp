// The way installers register the plug-in: regsvr32 in its own process.
#include <gtest/gtest.h>

#include "quorvex_h.h"
#include "registration/registry_probe.h"
#include "support/quorvex_dll.h"
#include "win/com_ptr.h"

namespace quorvex::test {
namespace {

class Regsvr32Test : public ApartmentTest {
protected:
    void TearDown() override
    {
        RunRegsvr32(L"/u /s \"" + BinPath(L"Quorvex.dll") + L"\"");
        DeleteTree(kClassKey);
        ApartmentTest::TearDown();
    }
};

TEST_F(Regsvr32Test, RegistersAndUnregistersTheClass)
{
    const std::wstring dll = L"\"" + BinPath(L"Quorvex.dll") + L"\"";
    ASSERT_EQ(RunRegsvr32(L"/s " + dll), 0u);
    EXPECT_EQ(StringValue(std::wstring(kClassKey) + L"\\InprocServer32", nullptr), BinPath(L"Quorvex.dll"));
    EXPECT_EQ(StringValue(L"Quorvex.SmartCard\\CurVer", nullptr), L"Quorvex.SmartCa.1");
    EXPECT_TRUE(KeyExists(std::wstring(L"TypeLib\\") + kLibraryIdText + L"\\1.0"));

    ASSERT_EQ(RunRegsvr32(L"/u /s " + dll), 0u);
    EXPECT_FALSE(KeyExists(kClassKey));
    EXPECT_FALSE(KeyExists(L"Quorvex.SmartCard"));
    EXPECT_FALSE(KeyExists(L"Quorvex.SmartCa.1"));
    EXPECT_FALSE(KeyExists(std::wstring(L"TypeLib\\") + kLibraryIdText + L"\\1.0"));
}

TEST_F(Regsvr32Test, LateBoundClientCreatesTheObjectByProgIdAndCallsByName)
{
    ASSERT_EQ(RunRegsvr32(L"/s \"" + BinPath(L"Quorvex.dll") + L"\""), 0u);
    CLSID clsid{};
    ASSERT_EQ(::CLSIDFromProgID(L"Quorvex.SmartCard", &clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_CSmartCardAuthPlugin));

    ComPtr<IDispatch> object;
    ASSERT_EQ(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.put_void()), S_OK);
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"EndCapture")};
    DISPID dispid = 0;
    ASSERT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid), S_OK);
    DISPPARAMS none{};
    VARIANT result;
    ::VariantInit(&result);
    EXPECT_EQ(object->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, &result, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(V_VT(&result), VT_I4);
    EXPECT_EQ(V_I4(&result), 0);
}

}  // namespace
}  // namespace quorvex::test
