// The type library embedded in Quorvex.dll, read back the way hosts and
// registration read it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "automation/com_apartment.h"
#include "quorvex_h.h"
#include "support/quorvex_dll.h"
#include "win/com_ptr.h"
#include "win/unique_bstr.h"

namespace quorvex::test {
namespace {

const GUID kLibraryId = {0x8FBB1775, 0xBDA8, 0x4B6F, {0x8C, 0x5D, 0xDE, 0x9E, 0xA2, 0x4E, 0x1B, 0x5C}};

class TypeLibraryTest : public ApartmentTest {
protected:
    void SetUp() override
    {
        ApartmentTest::SetUp();
        ASSERT_EQ(::LoadTypeLib(BinPath(L"Quorvex.dll").c_str(), library.put()), S_OK);
    }

    struct Method {
        MEMBERID memid;
        std::wstring name;
        std::vector<std::wstring> parameters;
        std::vector<USHORT> parameterFlags;
        INVOKEKIND invkind;
        FUNCKIND funckind;
        VARTYPE returnType;
        std::wstring help;
    };

    std::vector<Method> Methods(ITypeInfo* typeInfo)
    {
        std::vector<Method> methods;
        TYPEATTR* attributes = nullptr;
        if (FAILED(typeInfo->GetTypeAttr(&attributes))) return methods;
        const WORD count = attributes->cFuncs;
        typeInfo->ReleaseTypeAttr(attributes);
        for (UINT i = 0; i < count; ++i) {
            FUNCDESC* desc = nullptr;
            if (FAILED(typeInfo->GetFuncDesc(i, &desc))) continue;
            Method method;
            method.memid = desc->memid;
            method.invkind = desc->invkind;
            method.funckind = desc->funckind;
            method.returnType = desc->elemdescFunc.tdesc.vt;
            BSTR names[8] = {};
            UINT found = 0;
            typeInfo->GetNames(desc->memid, names, 8, &found);
            for (UINT n = 0; n < found; ++n) {
                UniqueBstr owned(names[n]);
                if (n == 0) method.name = owned.view();
                else method.parameters.emplace_back(owned.view());
            }
            for (SHORT p = 0; p < desc->cParams; ++p) {
                method.parameterFlags.push_back(desc->lprgelemdescParam[p].paramdesc.wParamFlags);
            }
            UniqueBstr help;
            typeInfo->GetDocumentation(desc->memid, nullptr, help.put(), nullptr, nullptr);
            method.help = help.view();
            typeInfo->ReleaseFuncDesc(desc);
            methods.push_back(method);
        }
        return methods;
    }

    ComPtr<ITypeLib> library;
};

TEST_F(TypeLibraryTest, LibraryIdentity)
{
    TLIBATTR* attributes = nullptr;
    ASSERT_EQ(library->GetLibAttr(&attributes), S_OK);
    EXPECT_TRUE(IsEqualGUID(attributes->guid, kLibraryId)) << "widl must not damage the LIBID";
    EXPECT_EQ(attributes->wMajorVerNum, 1);
    EXPECT_EQ(attributes->wMinorVerNum, 0);
    EXPECT_EQ(attributes->lcid, 0x409u);
    // The loader marks every library read from a file; the library itself sets no flag.
    EXPECT_EQ(attributes->wLibFlags & ~LIBFLAG_FHASDISKIMAGE, 0);
    library->ReleaseTLibAttr(attributes);

    UniqueBstr name;
    UniqueBstr help;
    ASSERT_EQ(library->GetDocumentation(-1, name.put(), help.put(), nullptr, nullptr), S_OK);
    EXPECT_EQ(name.view(), L"Quorvex");
    EXPECT_EQ(help.view(), L"Quorvex 1.0 Type Library");
}

struct TypeExpectation {
    const GUID* guid;
    const wchar_t* name;
    TYPEKIND kind;
    const wchar_t* help;
};

const TypeExpectation kTypes[] = {
    {&DIID__IPkiAuthenticationPluginEvents, L"_IPkiAuthenticationPluginEvents", TKIND_DISPATCH,
     L"_IPkiAuthenticationPluginEvents Interface"},
    {&CLSID_CSmartCardAuthPlugin, L"CSmartCardAuthPlugin", TKIND_COCLASS, L"SmartCardAuthPlugin Class"},
    {&IID_IPkiAuthenticationPlugin, L"IPkiAuthenticationPlugin", TKIND_DISPATCH, L"IPkiAuthenticationPlugin Interface"},
};

TEST_F(TypeLibraryTest, TypesWithTheirNamesKindsAndHelpStrings)
{
    ASSERT_EQ(library->GetTypeInfoCount(), 3u);
    for (const TypeExpectation& expected : kTypes) {
        ComPtr<ITypeInfo> typeInfo;
        ASSERT_EQ(library->GetTypeInfoOfGuid(*expected.guid, typeInfo.put()), S_OK) << expected.name;
        TYPEATTR* attributes = nullptr;
        ASSERT_EQ(typeInfo->GetTypeAttr(&attributes), S_OK);
        EXPECT_EQ(attributes->typekind, expected.kind) << expected.name;
        typeInfo->ReleaseTypeAttr(attributes);
        UniqueBstr name;
        UniqueBstr help;
        typeInfo->GetDocumentation(MEMBERID_NIL, name.put(), help.put(), nullptr, nullptr);
        EXPECT_EQ(name.view(), expected.name);
        EXPECT_EQ(help.view(), expected.help);
    }
}

// widl orders types by first mention, and the forward declaration of the dual
// interface that keeps widl from damaging the LIBID (see quorvex.idl) makes
// the dual interface type 0; events and coclass follow in their own order.
TEST_F(TypeLibraryTest, TypesInTheirBuiltOrder)
{
    ASSERT_EQ(library->GetTypeInfoCount(), 3u);
    const struct {
        const GUID* guid;
        const wchar_t* name;
        TYPEKIND kind;
        const wchar_t* help;
    } expected[] = {
        {&IID_IPkiAuthenticationPlugin, L"IPkiAuthenticationPlugin", TKIND_DISPATCH,
         L"IPkiAuthenticationPlugin Interface"},
        {&DIID__IPkiAuthenticationPluginEvents, L"_IPkiAuthenticationPluginEvents", TKIND_DISPATCH,
         L"_IPkiAuthenticationPluginEvents Interface"},
        {&CLSID_CSmartCardAuthPlugin, L"CSmartCardAuthPlugin", TKIND_COCLASS, L"SmartCardAuthPlugin Class"},
    };
    for (UINT i = 0; i < 3; ++i) {
        ComPtr<ITypeInfo> typeInfo;
        ASSERT_EQ(library->GetTypeInfo(i, typeInfo.put()), S_OK);
        TYPEATTR* attributes = nullptr;
        ASSERT_EQ(typeInfo->GetTypeAttr(&attributes), S_OK);
        EXPECT_TRUE(IsEqualGUID(attributes->guid, *expected[i].guid)) << "type " << i;
        EXPECT_EQ(attributes->typekind, expected[i].kind) << "type " << i;
        typeInfo->ReleaseTypeAttr(attributes);
        UniqueBstr name;
        UniqueBstr help;
        typeInfo->GetDocumentation(MEMBERID_NIL, name.put(), help.put(), nullptr, nullptr);
        EXPECT_EQ(name.view(), expected[i].name);
        EXPECT_EQ(help.view(), expected[i].help);
    }
}

TEST_F(TypeLibraryTest, CoclassNamesItsDefaultAndSourceInterfaces)
{
    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(library->GetTypeInfoOfGuid(CLSID_CSmartCardAuthPlugin, coclass.put()), S_OK);
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(coclass->GetTypeAttr(&attributes), S_OK);
    EXPECT_TRUE(attributes->wTypeFlags & TYPEFLAG_FCANCREATE);
    EXPECT_EQ(attributes->wMajorVerNum, 1);
    EXPECT_EQ(attributes->wMinorVerNum, 0);
    ASSERT_EQ(attributes->cImplTypes, 2);
    coclass->ReleaseTypeAttr(attributes);

    const struct {
        const GUID* guid;
        INT flags;
    } expected[] = {{&IID_IPkiAuthenticationPlugin, IMPLTYPEFLAG_FDEFAULT},
                    {&DIID__IPkiAuthenticationPluginEvents, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE}};
    for (UINT i = 0; i < 2; ++i) {
        INT flags = 0;
        EXPECT_EQ(coclass->GetImplTypeFlags(i, &flags), S_OK);
        EXPECT_EQ(flags, expected[i].flags) << "implemented type " << i;
        HREFTYPE ref = 0;
        ASSERT_EQ(coclass->GetRefTypeOfImplType(i, &ref), S_OK);
        ComPtr<ITypeInfo> implemented;
        ASSERT_EQ(coclass->GetRefTypeInfo(ref, implemented.put()), S_OK);
        TYPEATTR* implAttributes = nullptr;
        ASSERT_EQ(implemented->GetTypeAttr(&implAttributes), S_OK);
        EXPECT_TRUE(IsEqualGUID(implAttributes->guid, *expected[i].guid)) << "implemented type " << i;
        implemented->ReleaseTypeAttr(implAttributes);
    }
}

TEST_F(TypeLibraryTest, DualInterfaceMethodsParametersAndFlags)
{
    ComPtr<ITypeInfo> dispatchView;
    ASSERT_EQ(library->GetTypeInfoOfGuid(IID_IPkiAuthenticationPlugin, dispatchView.put()), S_OK);
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(dispatchView->GetTypeAttr(&attributes), S_OK);
    EXPECT_EQ(attributes->typekind, TKIND_DISPATCH);
    EXPECT_EQ(attributes->wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE), TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE);
    EXPECT_EQ(attributes->wMajorVerNum, 0);
    EXPECT_EQ(attributes->wMinorVerNum, 0);
    dispatchView->ReleaseTypeAttr(attributes);

    // The interface half of the dual: six methods right after IDispatch's seven.
    HREFTYPE ref = 0;
    ASSERT_EQ(dispatchView->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), S_OK);
    ComPtr<ITypeInfo> vtableView;
    ASSERT_EQ(dispatchView->GetRefTypeInfo(ref, vtableView.put()), S_OK);
    ASSERT_EQ(vtableView->GetTypeAttr(&attributes), S_OK);
    EXPECT_EQ(attributes->typekind, TKIND_INTERFACE);
    EXPECT_EQ(attributes->wTypeFlags, TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE);
    vtableView->ReleaseTypeAttr(attributes);

    constexpr USHORT in = PARAMFLAG_FIN;
    constexpr USHORT retval = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;
    constexpr USHORT out = PARAMFLAG_FOUT;
    const struct {
        MEMBERID memid;
        const wchar_t* name;
        std::vector<std::wstring> parameters;
        std::vector<USHORT> flags;
    } expected[] = {
        {1, L"OpenDevice", {L"deviceID", L"returnCode"}, {in, retval}},
        {2, L"StartCapture", {L"username", L"domainname", L"pin", L"returnCode"}, {in, in, in, retval}},
        {3, L"EndCapture", {L"returnCode"}, {retval}},
        {4, L"GetDeviceID", {L"refCount", L"deviceID"}, {in, retval}},
        {5, L"GetDeviceCount", {L"username", L"domainname", L"refCount"}, {in, in, retval}},
        {6, L"GetStatusString", {L"statusCode", L"statusString", L"returnCode"}, {in, out, retval}},
    };
    const std::vector<Method> methods = Methods(vtableView.get());
    ASSERT_EQ(methods.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(methods[i].memid, expected[i].memid) << expected[i].name;
        EXPECT_EQ(methods[i].name, expected[i].name);
        EXPECT_EQ(methods[i].parameters, expected[i].parameters) << expected[i].name;
        EXPECT_EQ(methods[i].parameterFlags, expected[i].flags) << expected[i].name;
        EXPECT_EQ(methods[i].returnType, VT_HRESULT) << expected[i].name;
        EXPECT_EQ(methods[i].help, std::wstring(L"method ") + expected[i].name);
    }

    FUNCDESC* first = nullptr;
    ASSERT_EQ(vtableView->GetFuncDesc(0, &first), S_OK);
    EXPECT_EQ(first->oVft, static_cast<SHORT>(7 * sizeof(void*))) << "first slot after IDispatch";
    vtableView->ReleaseFuncDesc(first);
}

TEST_F(TypeLibraryTest, EventInterfaceMethods)
{
    ComPtr<ITypeInfo> events;
    ASSERT_EQ(library->GetTypeInfoOfGuid(DIID__IPkiAuthenticationPluginEvents, events.put()), S_OK);
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(events->GetTypeAttr(&attributes), S_OK);
    EXPECT_TRUE(attributes->wTypeFlags & TYPEFLAG_FDISPATCHABLE);
    EXPECT_FALSE(attributes->wTypeFlags & TYPEFLAG_FDUAL);
    events->ReleaseTypeAttr(attributes);

    const struct {
        MEMBERID memid;
        const wchar_t* name;
        std::vector<std::wstring> parameters;
    } expected[] = {
        {1, L"StatusChanged", {L"statusCode"}},
        {2, L"DataReady", {L"smartCardName", L"smartCardReader", L"cspName"}},
        {3, L"Failed", {L"statusCode"}},
    };
    const std::vector<Method> methods = Methods(events.get());
    ASSERT_EQ(methods.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(methods[i].memid, expected[i].memid) << expected[i].name;
        EXPECT_EQ(methods[i].name, expected[i].name);
        EXPECT_EQ(methods[i].parameters, expected[i].parameters) << expected[i].name;
        EXPECT_EQ(methods[i].funckind, FUNC_DISPATCH) << expected[i].name;
        EXPECT_EQ(methods[i].help, std::wstring(L"method ") + expected[i].name);
    }
}

}  // namespace
}  // namespace quorvex::test
