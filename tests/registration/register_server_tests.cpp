// DllRegisterServer and DllUnregisterServer of the real Quorvex.dll against
// the prefix's real registry. Every test leaves the machine unregistered.
#include <windows.h>
#include <comcat.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "quorvex_h.h"
#include "registration/registry_probe.h"
#include "support/quorvex_dll.h"
#include "win/com_ptr.h"
#include "win/unique_bstr.h"

namespace quorvex::test {
namespace {

const CATID kCertificateCategory = {0x38547D33, 0xB8B0, 0x4656, {0x85, 0xE4, 0xA1, 0x7D, 0xE0, 0x05, 0x4F, 0x01}};
const std::wstring kClass = kClassKey;

std::vector<std::wstring> Sorted(std::vector<std::wstring> names)
{
    for (std::wstring& name : names) std::transform(name.begin(), name.end(), name.begin(), ::towlower);
    std::sort(names.begin(), names.end());
    return names;
}

HRESULT LoadRegisteredLibrary()
{
    ComPtr<ITypeLib> library;
    return ::LoadRegTypeLib(LIBID_Quorvex, 1, 0, 0x409, library.put());
}

// What UnRegisterTypeLib says about the module's library when it is not registered.
HRESULT UnregisterLibraryDirectly()
{
    ComPtr<ITypeLib> library;
    if (FAILED(::LoadTypeLib(BinPath(L"Quorvex.dll").c_str(), library.put()))) return E_UNEXPECTED;
    TLIBATTR* a = nullptr;
    library->GetLibAttr(&a);
    const HRESULT hr = ::UnRegisterTypeLib(a->guid, a->wMajorVerNum, a->wMinorVerNum, a->lcid, a->syskind);
    library->ReleaseTLibAttr(a);
    return hr;
}

class RegisterServerTest : public ApartmentTest {
protected:
    void SetUp() override
    {
        ApartmentTest::SetUp();
        ASSERT_NE(dll.module(), nullptr);
        Clean();
    }
    void TearDown() override
    {
        Clean();
        ApartmentTest::TearDown();
    }
    // Unregistered, and nothing a test planted left behind.
    void Clean()
    {
        dll.UnregisterServer();
        DeleteTree(L"Quorvex.SmartCa.1");
        DeleteTree(L"Quorvex.SmartCard");
        DeleteTree(kClass);
        DeleteTree(std::wstring(L"TypeLib\\") + kLibraryIdText);
    }

    void ExpectClassEntries(bool withCategory = true)
    {
        EXPECT_EQ(StringValue(L"Quorvex.SmartCa.1", nullptr), L"CSmartCardAuthPlugin Object");
        EXPECT_EQ(StringValue(L"Quorvex.SmartCa.1\\CLSID", nullptr), L"{3426285D-DDFE-473B-85D5-8D551AE92E48}");
        EXPECT_EQ(StringValue(L"Quorvex.SmartCard", nullptr), L"CSmartCardAuthPlugin Object");
        EXPECT_EQ(StringValue(L"Quorvex.SmartCard\\CLSID", nullptr), L"{3426285D-DDFE-473B-85D5-8D551AE92E48}");
        EXPECT_EQ(StringValue(L"Quorvex.SmartCard\\CurVer", nullptr), L"Quorvex.SmartCa.1");

        EXPECT_EQ(StringValue(kClass, nullptr), L"CSmartCardAuthPlugin Object");
        EXPECT_EQ(StringValue(kClass, L"AppID"), L"");
        EXPECT_EQ(Sorted(ValueNames(kClass)), Sorted({L"", L"AppID"})) << "no other value on the class key";
        EXPECT_EQ(StringValue(kClass + L"\\ProgID", nullptr), L"Quorvex.SmartCa.1");
        EXPECT_EQ(StringValue(kClass + L"\\VersionIndependentProgID", nullptr), L"Quorvex.SmartCard");
        EXPECT_TRUE(KeyExists(kClass + L"\\Programmable"));
        EXPECT_EQ(StringValue(kClass + L"\\InprocServer32", nullptr), BinPath(L"Quorvex.dll"));
        EXPECT_EQ(StringValue(kClass + L"\\InprocServer32", L"ThreadingModel"), L"apartment");
        EXPECT_EQ(StringValue(kClass + L"\\TypeLib", nullptr), kLibraryIdText);
        std::vector<std::wstring> subkeys = {L"InprocServer32", L"ProgID", L"Programmable", L"TypeLib",
                                             L"VersionIndependentProgID"};
        // The category manager records the class's membership below the class key.
        if (withCategory) subkeys.push_back(L"Implemented Categories");
        EXPECT_EQ(Sorted(SubkeyNames(kClass)), Sorted(subkeys)) << "no version or other subkey";
    }

    void ExpectNoClassEntries()
    {
        EXPECT_FALSE(KeyExists(L"Quorvex.SmartCa.1"));
        EXPECT_FALSE(KeyExists(L"Quorvex.SmartCard"));
        EXPECT_FALSE(KeyExists(kClass));
        EXPECT_TRUE(KeyExists(L"CLSID"));
    }

    QuorvexDll dll;
};

TEST_F(RegisterServerTest, WritesClassProgIdsTypeLibraryAndCategory)
{
    ASSERT_EQ(dll.RegisterServer(), S_OK);
    ExpectClassEntries();
    EXPECT_EQ(LoadRegisteredLibrary(), S_OK);

    ComPtr<ICatInformation> categories;
    ASSERT_EQ(::CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatInformation,
                                 categories.put_void()),
              S_OK);
    LPWSTR description = nullptr;
    ASSERT_EQ(categories->GetCategoryDesc(const_cast<CATID&>(kCertificateCategory), 1033, &description), S_OK);
    EXPECT_STREQ(description, L"Tavrix Certificate Authentication Plugin");
    ::CoTaskMemFree(description);
    CATID required[] = {kCertificateCategory};
    EXPECT_EQ(categories->IsClassOfCategories(CLSID_CSmartCardAuthPlugin, 0, nullptr, 1, required), S_OK);
}

TEST_F(RegisterServerTest, RebuildsTheClassKeyButKeepsAdditionsToTheProgIds)
{
    CreateKey(kClass + L"\\LocalServer32", L"C:\\stale\\server.exe");
    CreateKey(kClass + L"\\Programmable\\Leftover", L"x");
    CreateKey(kClass + L"\\InprocServer32", L"C:\\stale\\old.dll");
    CreateKey(L"Quorvex.SmartCard\\Extra", L"someone else's");

    ASSERT_EQ(dll.RegisterServer(), S_OK);
    EXPECT_FALSE(KeyExists(kClass + L"\\LocalServer32"));
    EXPECT_TRUE(SubkeyNames(kClass + L"\\Programmable").empty());
    EXPECT_EQ(StringValue(L"Quorvex.SmartCard\\Extra", nullptr), L"someone else's");
    DeleteTree(L"Quorvex.SmartCard\\Extra");
    ExpectClassEntries();
}

TEST_F(RegisterServerTest, RegisteringTwiceLeavesTheSameEntries)
{
    ASSERT_EQ(dll.RegisterServer(), S_OK);
    ASSERT_EQ(dll.RegisterServer(), S_OK);
    ExpectClassEntries();
    EXPECT_EQ(LoadRegisteredLibrary(), S_OK);
}

TEST_F(RegisterServerTest, UnregisteringRemovesClassAndLibraryButNotTheCategory)
{
    ASSERT_EQ(dll.RegisterServer(), S_OK);
    ASSERT_EQ(dll.UnregisterServer(), S_OK);
    ExpectNoClassEntries();
    EXPECT_FALSE(SUCCEEDED(LoadRegisteredLibrary()));

    ComPtr<ICatInformation> categories;
    ASSERT_EQ(::CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatInformation,
                                 categories.put_void()),
              S_OK);
    LPWSTR description = nullptr;
    EXPECT_EQ(categories->GetCategoryDesc(const_cast<CATID&>(kCertificateCategory), 1033, &description), S_OK);
    ::CoTaskMemFree(description);
    CATID required[] = {kCertificateCategory};
    EXPECT_NE(categories->IsClassOfCategories(CLSID_CSmartCardAuthPlugin, 0, nullptr, 1, required), S_OK);
}

TEST_F(RegisterServerTest, UnregisteringTwiceReportsWhatTheLibraryUnregistrationSays)
{
    ASSERT_EQ(dll.RegisterServer(), S_OK);
    ASSERT_EQ(dll.UnregisterServer(), S_OK);
    const HRESULT second = dll.UnregisterServer();
    EXPECT_EQ(second, UnregisterLibraryDirectly());
    ExpectNoClassEntries();
}

TEST_F(RegisterServerTest, UnregisteringANeverRegisteredMachineTouchesNothingElse)
{
    const HRESULT expected = UnregisterLibraryDirectly();
    EXPECT_EQ(dll.UnregisterServer(), expected);
    ExpectNoClassEntries();
}

TEST_F(RegisterServerTest, UnregisteringRemovesPartialEntries)
{
    CreateKey(L"Quorvex.SmartCard\\CurVer", L"Quorvex.SmartCa.1");
    CreateKey(kClass + L"\\InprocServer32", L"C:\\somewhere\\Quorvex.dll");
    dll.UnregisterServer();
    ExpectNoClassEntries();
}

TEST_F(RegisterServerTest, ClassInfoNeedsTheRegisteredLibraryWhileIDispatchDoesNot)
{
    ComPtr<IProvideClassInfo> object;
    ASSERT_EQ(dll.CreateInstance(nullptr, IID_IProvideClassInfo, object.put_void()), S_OK);
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(object.query_to(IID_IDispatch, dispatch), S_OK);

    UINT count = 0;
    EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);

    // A failed load is not remembered: each call tries again.
    for (int attempt = 0; attempt < 2; ++attempt) {
        ITypeInfo* typeInfo = reinterpret_cast<ITypeInfo*>(1);
        EXPECT_EQ(object->GetClassInfo(&typeInfo), TYPE_E_LIBNOTREGISTERED);
        EXPECT_EQ(typeInfo, nullptr);
    }

    ASSERT_EQ(dll.RegisterServer(), S_OK);
    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(object->GetClassInfo(coclass.put()), S_OK);
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(coclass->GetTypeAttr(&attributes), S_OK);
    EXPECT_TRUE(IsEqualGUID(attributes->guid, CLSID_CSmartCardAuthPlugin));
    EXPECT_EQ(attributes->typekind, TKIND_COCLASS);
    coclass->ReleaseTypeAttr(attributes);
    ComPtr<ITypeInfo2> richer;
    EXPECT_EQ(coclass.query_to(IID_ITypeInfo2, richer), S_OK);

    // Cached once loaded: still there after the library is unregistered.
    ASSERT_EQ(dll.UnregisterServer(), S_OK);
    ComPtr<ITypeInfo> again;
    EXPECT_EQ(object->GetClassInfo(again.put()), S_OK);
    EXPECT_EQ(again.get(), coclass.get());
}

TEST_F(RegisterServerTest, WithoutComTheCategoryStepFailsAfterClassAndLibrary)
{
    HRESULT result = S_OK;
    std::thread([&] { result = dll.RegisterServer(); }).join();
    EXPECT_EQ(result, CO_E_NOTINITIALIZED);
    ExpectClassEntries(false);
    EXPECT_EQ(LoadRegisteredLibrary(), S_OK);
}

}  // namespace
}  // namespace quorvex::test
