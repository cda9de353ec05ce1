// The type library embedded in Quorvex.dll, read back the way hosts and
// registration read it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "automation/com_apartment.h"
#include "plugin/dispids.h"
#include "quorvex_h.h"
#include "support/quorvex_dll.h"
#include "win/com_ptr.h"
#include "win/unique_bstr.h"

namespace quorvex::test {
namespace {

const GUID kLibraryId = {0x8FBB1775, 0xBDA8, 0x4B6F, {0x8C, 0x5D, 0xDE, 0x9E, 0xA2, 0x4E, 0x1B, 0x5C}};

std::wstring Documentation(ITypeInfo* typeInfo, MEMBERID memid)
{
    UniqueBstr name;
    UniqueBstr help;
    typeInfo->GetDocumentation(memid, name.put(), help.put(), nullptr, nullptr);
    return std::wstring(name.view()) + L": " + std::wstring(help.view());
}

// "kind version flags name: help", the implemented types with their flags, and
// each method as "memid name(parameter/flags, ...) dispatch|HRESULT: help".
std::vector<std::wstring> Describe(ITypeInfo* typeInfo)
{
    TYPEATTR* a = nullptr;
    if (!typeInfo || FAILED(typeInfo->GetTypeAttr(&a))) return {L"<no type>"};
    const wchar_t* kinds[] = {L"enum", L"record", L"module", L"interface", L"dispinterface", L"coclass"};
    std::wstring head = std::wstring(a->typekind < 6 ? kinds[a->typekind] : L"other") + L" " +
                        std::to_wstring(a->wMajorVerNum) + L"." + std::to_wstring(a->wMinorVerNum);
    if (a->wTypeFlags & TYPEFLAG_FCANCREATE) head += L" creatable";
    if (a->wTypeFlags & TYPEFLAG_FDUAL) head += L" dual";
    if (a->wTypeFlags & TYPEFLAG_FOLEAUTOMATION) head += L" oleautomation";
    if (a->wTypeFlags & TYPEFLAG_FDISPATCHABLE) head += L" dispatchable";
    std::vector<std::wstring> lines = {head + L" " + Documentation(typeInfo, MEMBERID_NIL)};
    for (UINT i = 0; i < a->cImplTypes; ++i) {
        HREFTYPE ref = 0;
        ComPtr<ITypeInfo> implemented;
        INT flags = 0;
        typeInfo->GetRefTypeOfImplType(i, &ref);
        typeInfo->GetRefTypeInfo(ref, implemented.put());
        typeInfo->GetImplTypeFlags(i, &flags);
        lines.push_back(L"implements " + (implemented ? Documentation(implemented.get(), MEMBERID_NIL) : L"?") +
                        L" / " + std::to_wstring(flags));
    }
    for (UINT i = 0; i < a->cFuncs; ++i) {
        FUNCDESC* f = nullptr;
        if (FAILED(typeInfo->GetFuncDesc(i, &f))) continue;
        BSTR names[8] = {};
        UINT found = 0;
        typeInfo->GetNames(f->memid, names, 8, &found);
        std::wstring text = std::to_wstring(f->memid) + L" ";
        for (UINT n = 0; n < found; ++n) {
            UniqueBstr owned(names[n]);
            text += owned.view();
            if (n > 0) text += L"/" + std::to_wstring(f->lprgelemdescParam[n - 1].paramdesc.wParamFlags);
            text += n == 0 ? L"(" : n + 1 < found ? L", " : L"";
        }
        const bool hresult = f->elemdescFunc.tdesc.vt == VT_HRESULT;
        text += f->funckind == FUNC_DISPATCH ? L") dispatch" : hresult ? L") HRESULT" : L")";
        const std::wstring documentation = Documentation(typeInfo, f->memid);
        lines.push_back(text + documentation.substr(documentation.find(L':')));
        typeInfo->ReleaseFuncDesc(f);
    }
    typeInfo->ReleaseTypeAttr(a);
    return lines;
}

class TypeLibraryTest : public ApartmentTest {
protected:
    void SetUp() override
    {
        ApartmentTest::SetUp();
        ASSERT_EQ(::LoadTypeLib(BinPath(L"Quorvex.dll").c_str(), library.put()), S_OK);
    }
    void TearDown() override
    {
        library.reset();
        ApartmentTest::TearDown();
    }
    ComPtr<ITypeLib> library;
};

// The code's names of the DISPIDs number the members as the library does.
TEST_F(TypeLibraryTest, DispidNamesMatchTheLibrary)
{
    const IID& methods = IID_IPkiAuthenticationPlugin;
    const IID& events = DIID__IPkiAuthenticationPluginEvents;
    const struct {
        const IID& type;
        const wchar_t* name;
        DISPID dispid;
    } members[] = {
        {methods, L"OpenDevice", kDispidOpenDevice},
        {methods, L"StartCapture", kDispidStartCapture},
        {methods, L"EndCapture", kDispidEndCapture},
        {methods, L"GetDeviceID", kDispidGetDeviceID},
        {methods, L"GetDeviceCount", kDispidGetDeviceCount},
        {methods, L"GetStatusString", kDispidGetStatusString},
        {events, L"StatusChanged", kDispidStatusChanged},
        {events, L"DataReady", kDispidDataReady},
        {events, L"Failed", kDispidFailed},
    };
    for (const auto& member : members) {
        ComPtr<ITypeInfo> typeInfo;
        ASSERT_EQ(library->GetTypeInfoOfGuid(member.type, typeInfo.put()), S_OK);
        std::wstring name = member.name;
        LPOLESTR names[] = {name.data()};
        MEMBERID memid = MEMBERID_NIL;
        EXPECT_EQ(typeInfo->GetIDsOfNames(names, 1, &memid), S_OK) << name;
        EXPECT_EQ(memid, member.dispid) << name;
    }
}

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

TEST_F(TypeLibraryTest, TypesAndTheirMembers)
{
    ComPtr<ITypeInfo> dual;
    ComPtr<ITypeInfo> vtableHalf;
    ComPtr<ITypeInfo> events;
    ComPtr<ITypeInfo> coclass;
    HREFTYPE ref = 0;
    ASSERT_EQ(library->GetTypeInfoOfGuid(IID_IPkiAuthenticationPlugin, dual.put()), S_OK);
    ASSERT_EQ(dual->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref), S_OK);
    ASSERT_EQ(dual->GetRefTypeInfo(ref, vtableHalf.put()), S_OK);
    ASSERT_EQ(library->GetTypeInfoOfGuid(DIID__IPkiAuthenticationPluginEvents, events.put()), S_OK);
    ASSERT_EQ(library->GetTypeInfoOfGuid(CLSID_CSmartCardAuthPlugin, coclass.put()), S_OK);

    EXPECT_EQ(Describe(dual.get())[0],
              L"dispinterface 0.0 dual dispatchable IPkiAuthenticationPlugin: IPkiAuthenticationPlugin Interface");
    // Parameter flags: 1 in, 2 out, 10 out and retval. Implemented-type flags: 1 default, 3 default source.
    const std::vector<std::wstring> vtableLines = {
        L"interface 0.0 dual oleautomation dispatchable IPkiAuthenticationPlugin: IPkiAuthenticationPlugin Interface",
        L"implements IDispatch:  / 0",
        L"1 OpenDevice(deviceID/1, returnCode/10) HRESULT: method OpenDevice",
        L"2 StartCapture(username/1, domainname/1, pin/1, returnCode/10) HRESULT: method StartCapture",
        L"3 EndCapture(returnCode/10) HRESULT: method EndCapture",
        L"4 GetDeviceID(refCount/1, deviceID/10) HRESULT: method GetDeviceID",
        L"5 GetDeviceCount(username/1, domainname/1, refCount/10) HRESULT: method GetDeviceCount",
        L"6 GetStatusString(statusCode/1, statusString/2, returnCode/10) HRESULT: method GetStatusString",
    };
    EXPECT_EQ(Describe(vtableHalf.get()), vtableLines);
    const std::vector<std::wstring> eventLines = {
        L"dispinterface 0.0 dispatchable _IPkiAuthenticationPluginEvents: _IPkiAuthenticationPluginEvents Interface",
        L"implements IDispatch:  / 0",
        L"1 StatusChanged(statusCode/1) dispatch: method StatusChanged",
        L"2 DataReady(smartCardName/1, smartCardReader/1, cspName/1) dispatch: method DataReady",
        L"3 Failed(statusCode/1) dispatch: method Failed",
    };
    EXPECT_EQ(Describe(events.get()), eventLines);
    const std::vector<std::wstring> coclassLines = {
        L"coclass 1.0 creatable CSmartCardAuthPlugin: SmartCardAuthPlugin Class",
        L"implements IPkiAuthenticationPlugin: IPkiAuthenticationPlugin Interface / 1",
        L"implements _IPkiAuthenticationPluginEvents: _IPkiAuthenticationPluginEvents Interface / 3",
    };
    EXPECT_EQ(Describe(coclass.get()), coclassLines);
    FUNCDESC* first = nullptr;
    ASSERT_EQ(vtableHalf->GetFuncDesc(0, &first), S_OK);
    EXPECT_EQ(first->oVft, static_cast<SHORT>(7 * sizeof(void*))) << "first slot right after IDispatch's seven";
    vtableHalf->ReleaseFuncDesc(first);
}

}  // namespace
}  // namespace quorvex::test
