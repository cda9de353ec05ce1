// Self-registration of the real Quorvex.dll against the prefix's real
// registry: DllRegisterServer, DllUnregisterServer, regsvr32 and the plug-in
// category routine. Every test leaves the machine unregistered.
#include <windows.h>
#include <comcat.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <process.h>

#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "module/registration.h"
#include "quorvex_h.h"
#include "support/quorvex_dll.h"
#include "win/com_ptr.h"
#include "win/unique_bstr.h"
#include "win/unique_hkey.h"
#include "win/unique_variant.h"

namespace quorvex::test {
namespace {

constexpr wchar_t kClassKey[] = L"CLSID\\{3426285D-DDFE-473B-85D5-8D551AE92E48}";
constexpr wchar_t kLibraryIdText[] = L"{8FBB1775-BDA8-4B6F-8C5D-DE9EA24E1B5C}";
const wchar_t* const kClassEntries[] = {L"Quorvex.SmartCa.1", L"Quorvex.SmartCard", kClassKey};

class ApartmentTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override { ::CoUninitialize(); }
};

bool KeyExists(const std::wstring& path)
{
    UniqueHkey key;
    return ::RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// A REG_SZ value (null name = default value); nothing when missing or of another type.
std::optional<std::wstring> StringValue(const std::wstring& path, const wchar_t* valueName)
{
    wchar_t data[1024];
    DWORD bytes = sizeof(data);
    if (::RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), valueName, RRF_RT_REG_SZ, nullptr, data, &bytes) !=
        ERROR_SUCCESS)
        return {};
    return std::wstring(data);
}

// The key's subkey or value names, lower-cased and sorted.
std::vector<std::wstring> Names(const std::wstring& path, bool values)
{
    std::vector<std::wstring> names;
    UniqueHkey key;
    ::RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put());
    wchar_t name[256];
    for (DWORD i = 0, length = ARRAYSIZE(name);; ++i, length = ARRAYSIZE(name)) {
        const LSTATUS status = values
                                   ? ::RegEnumValueW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr)
                                   : ::RegEnumKeyExW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) break;
        names.emplace_back(name, length);
        std::transform(names.back().begin(), names.back().end(), names.back().begin(), ::towlower);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Creates the key (and its parents) with a default value.
void CreateKey(const std::wstring& path, const wchar_t* defaultValue)
{
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CLASSES_ROOT, path.c_str(), nullptr, REG_SZ, defaultValue,
                                static_cast<DWORD>((wcslen(defaultValue) + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

void DeleteTree(const std::wstring& path) { ::RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str()); }

// Runs regsvr32 from the Wine system folder in its own process; its exit code.
int RunRegsvr32(const std::wstring& arguments)
{
    wchar_t system[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring program = std::wstring(system) + L"\\regsvr32.exe";
    return static_cast<int>(::_wspawnl(_P_WAIT, program.c_str(), L"regsvr32", arguments.c_str(), nullptr));
}

const std::wstring kClass = kClassKey;
const wchar_t kClassText[] = L"{3426285D-DDFE-473B-85D5-8D551AE92E48}";
const CLSID kTestClass = {0x5E1F0C2A, 0x7D44, 0x4E0B, {0x9A, 0x61, 0x0C, 0x3B, 0x52, 0xD8, 0x11, 0x7E}};
constexpr wchar_t kTestClassKey[] = L"CLSID\\{5E1F0C2A-7D44-4E0B-9A61-0C3B52D8117E}";

HRESULT LoadRegisteredLibrary()
{
    ComPtr<ITypeLib> library;
    return ::LoadRegTypeLib(LIBID_Quorvex, 1, 0, 0x409, library.put());
}

// What UnRegisterTypeLib says about the module's library right now.
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

// "description, member" of the plug-in category whose CATID ends in
// `lastByte`, as the platform's category manager answers for the class.
std::wstring Category(REFCLSID clsid, BYTE lastByte)
{
    CATID category[] = {{0x38547D33, 0xB8B0, 0x4656, {0x85, 0xE4, 0xA1, 0x7D, 0xE0, 0x05, 0x4F, lastByte}}};
    ComPtr<ICatInformation> manager;
    if (FAILED(::CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatInformation,
                                  manager.put_void())))
        return L"no manager";
    LPWSTR description = nullptr;
    std::wstring text = SUCCEEDED(manager->GetCategoryDesc(category[0], 1033, &description)) ? description : L"none";
    ::CoTaskMemFree(description);
    const bool member = manager->IsClassOfCategories(clsid, 0, nullptr, 1, category) == S_OK;
    return text + (member ? L", member" : L", not member");
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
        for (const wchar_t* key : kClassEntries) DeleteTree(key);
        DeleteTree(kTestClassKey);
        DeleteTree(std::wstring(L"TypeLib\\") + kLibraryIdText);
    }

    void ExpectClassEntries(bool withCategory = true)
    {
        for (const wchar_t* progId : {L"Quorvex.SmartCa.1", L"Quorvex.SmartCard"}) {
            EXPECT_EQ(StringValue(progId, nullptr), L"CSmartCardAuthPlugin Object");
            EXPECT_EQ(StringValue(progId + std::wstring(L"\\CLSID"), nullptr), kClassText);
        }
        EXPECT_EQ(StringValue(L"Quorvex.SmartCard\\CurVer", nullptr), L"Quorvex.SmartCa.1");
        EXPECT_EQ(StringValue(kClass, nullptr), L"CSmartCardAuthPlugin Object");
        EXPECT_EQ(StringValue(kClass, L"AppID"), L"");
        EXPECT_EQ(Names(kClass, true), (std::vector<std::wstring>{L"", L"appid"})) << "no other value on the class key";
        EXPECT_EQ(StringValue(kClass + L"\\ProgID", nullptr), L"Quorvex.SmartCa.1");
        EXPECT_EQ(StringValue(kClass + L"\\VersionIndependentProgID", nullptr), L"Quorvex.SmartCard");
        EXPECT_EQ(StringValue(kClass + L"\\InprocServer32", nullptr), BinPath(L"Quorvex.dll"));
        EXPECT_EQ(StringValue(kClass + L"\\InprocServer32", L"ThreadingModel"), L"apartment");
        EXPECT_EQ(StringValue(kClass + L"\\TypeLib", nullptr), kLibraryIdText);
        EXPECT_TRUE(Names(kClass + L"\\Programmable", false).empty());
        // The category manager records the class's membership below the class key.
        std::vector<std::wstring> subkeys = {L"inprocserver32", L"progid", L"programmable", L"typelib",
                                             L"versionindependentprogid"};
        if (withCategory) subkeys.insert(subkeys.begin(), L"implemented categories");
        EXPECT_EQ(Names(kClass, false), subkeys) << "no version or other subkey";
    }

    void ExpectNoClassEntries()
    {
        for (const wchar_t* key : kClassEntries) EXPECT_FALSE(KeyExists(key));
        EXPECT_TRUE(KeyExists(L"CLSID"));
    }

    QuorvexDll dll;
};

TEST_F(RegisterServerTest, WritesClassProgIdsTypeLibraryAndCategoryAndRebuildsTheClassKey)
{
    ASSERT_EQ(dll.RegisterServer(), S_OK);
    ExpectClassEntries();
    EXPECT_EQ(LoadRegisteredLibrary(), S_OK);
    EXPECT_EQ(Category(CLSID_CSmartCardAuthPlugin, 0x01), L"Tavrix Certificate Authentication Plugin, member");

    CreateKey(kClass + L"\\LocalServer32", L"C:\\stale\\server.exe");
    CreateKey(kClass + L"\\Programmable\\Leftover", L"x");
    CreateKey(kClass + L"\\InprocServer32", L"C:\\stale\\old.dll");
    CreateKey(L"Quorvex.SmartCard\\Extra", L"someone else's");
    ASSERT_EQ(dll.RegisterServer(), S_OK);
    EXPECT_EQ(StringValue(L"Quorvex.SmartCard\\Extra", nullptr), L"someone else's") << "ProgIDs are not rebuilt";
    DeleteTree(L"Quorvex.SmartCard\\Extra");
    ExpectClassEntries();
    EXPECT_EQ(LoadRegisteredLibrary(), S_OK);
}

TEST_F(RegisterServerTest, UnregisteringRemovesClassEntriesAndLibraryButNotTheCategory)
{
    ASSERT_EQ(dll.RegisterServer(), S_OK);
    ASSERT_EQ(dll.UnregisterServer(), S_OK);
    ExpectNoClassEntries();
    EXPECT_FALSE(SUCCEEDED(LoadRegisteredLibrary()));
    EXPECT_EQ(Category(CLSID_CSmartCardAuthPlugin, 0x01), L"Tavrix Certificate Authentication Plugin, not member");

    EXPECT_EQ(dll.UnregisterServer(), UnregisterLibraryDirectly()) << "a second run reports the library's answer";
    ExpectNoClassEntries();

    // Partial class entries go as well.
    CreateKey(L"Quorvex.SmartCard\\CurVer", L"Quorvex.SmartCa.1");
    CreateKey(kClass + L"\\InprocServer32", L"C:\\somewhere\\Quorvex.dll");
    const HRESULT expected = UnregisterLibraryDirectly();
    EXPECT_EQ(dll.UnregisterServer(), expected);
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

// The way installers register the plug-in, and the way scripts then use it.
TEST_F(RegisterServerTest, Regsvr32RegistersForCreationByProgIdAndCallsByNameAndUnregisters)
{
    const std::wstring quotedPath = L"\"" + BinPath(L"Quorvex.dll") + L"\"";
    const std::wstring libraryKey = std::wstring(L"TypeLib\\") + kLibraryIdText + L"\\1.0";
    ASSERT_EQ(RunRegsvr32(L"/s " + quotedPath), 0);
    EXPECT_EQ(StringValue(kClass + L"\\InprocServer32", nullptr), BinPath(L"Quorvex.dll"));
    EXPECT_TRUE(KeyExists(libraryKey));

    CLSID clsid{};
    ASSERT_EQ(::CLSIDFromProgID(L"Quorvex.SmartCard", &clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_CSmartCardAuthPlugin));
    ComPtr<IDispatch> object;
    ASSERT_EQ(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.put_void()), S_OK);
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"EndCapture")};
    DISPID dispid = 0;
    ASSERT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid), S_OK);
    DISPPARAMS none{};
    UniqueVariant result;
    EXPECT_EQ(object->Invoke(dispid, IID_NULL, 0, DISPATCH_METHOD, &none, result.get(), nullptr, nullptr), S_OK);
    EXPECT_EQ(V_VT(result.get()), VT_I4);
    EXPECT_EQ(V_I4(result.get()), 0);
    object.reset();

    ASSERT_EQ(RunRegsvr32(L"/u /s " + quotedPath), 0);
    ExpectNoClassEntries();
    EXPECT_FALSE(KeyExists(libraryKey));
}

// The routine behind the last registration step, for every plug-in kind. A
// class id of the tests' own keeps the plug-in's class out of it.
TEST_F(RegisterServerTest, EachPluginKindHasItsOwnCategoryAndOtherKindsFail)
{
    const struct {
        int kind;
        BYTE lastByte;  // of the CATID
        const wchar_t* category;
    } table[] = {{1, 0x02, L"Tavrix Password Authentication Plugin, member"},
                 {2, 0x01, L"Tavrix Certificate Authentication Plugin, member"},
                 {4, 0x00, L"Tavrix Fingerprint Authentication Plugin, member"},
                 {3, 0, nullptr},
                 {0, 0, nullptr}};
    for (const auto& row : table) {
        DeleteTree(kTestClassKey);
        EXPECT_EQ(RegisterPluginCategory(static_cast<PluginKind>(row.kind), kTestClass), row.category ? S_OK : E_FAIL)
            << "kind " << row.kind;
        if (row.category)
            EXPECT_EQ(Category(kTestClass, row.lastByte), row.category);
        else
            EXPECT_FALSE(KeyExists(kTestClassKey)) << "kind " << row.kind;
    }
}

}  // namespace
}  // namespace quorvex::test
