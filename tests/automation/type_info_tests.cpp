// Type information of IPkiAuthenticationPlugin for IDispatch, read from the
// module file. Inside this test program the product code's module is the test
// program itself, which carries no type library; the real DLL does.
#include <gtest/gtest.h>

#include "automation/com_apartment.h"
#include "module/automation.h"
#include "quorvex_h.h"
#include "support/quorvex_dll.h"
#include "win/com_ptr.h"

namespace quorvex::test {
namespace {

class TypeInfoTest : public ApartmentTest {};

TEST_F(TypeInfoTest, DllHandsOutTheDualInterfaceWithoutRegistration)
{
    QuorvexDll dll;
    ComPtr<IDispatch> object;
    ASSERT_EQ(dll.CreateInstance(nullptr, IID_IDispatch, object.put_void()), S_OK);

    UINT count = 99;
    EXPECT_EQ(object->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);

    ComPtr<ITypeInfo> typeInfo;
    ASSERT_EQ(object->GetTypeInfo(0, LOCALE_USER_DEFAULT, typeInfo.put()), S_OK);
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(typeInfo->GetTypeAttr(&attributes), S_OK);
    EXPECT_TRUE(IsEqualGUID(attributes->guid, IID_IPkiAuthenticationPlugin));
    typeInfo->ReleaseTypeAttr(attributes);

    // Loaded afresh on every call, so every call hands out a usable object.
    ComPtr<ITypeInfo> again;
    EXPECT_EQ(object->GetTypeInfo(0, 0x407, again.put()), S_OK);
    EXPECT_TRUE(again);
}

TEST_F(TypeInfoTest, OnlyIndexZeroExistsEvenForANullOutPointer)
{
    QuorvexDll dll;
    ComPtr<IDispatch> object;
    ASSERT_EQ(dll.CreateInstance(nullptr, IID_IDispatch, object.put_void()), S_OK);
    EXPECT_EQ(object->GetTypeInfo(1, 0, nullptr), DISP_E_BADINDEX);
    EXPECT_EQ(object->GetTypeInfo(0, 0, nullptr), E_POINTER);
    EXPECT_EQ(object->GetTypeInfoCount(nullptr), E_POINTER);
}

TEST_F(TypeInfoTest, ModuleWithoutTypeLibraryReportsNoTypeInformation)
{
    UINT count = 99;
    EXPECT_EQ(GetPluginTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 0u);

    ITypeInfo* typeInfo = reinterpret_cast<ITypeInfo*>(1);
    EXPECT_TRUE(FAILED(GetPluginTypeInfo(0, &typeInfo)));
    EXPECT_EQ(typeInfo, nullptr);
}

}  // namespace
}  // namespace quorvex::test
