// IDispatch of the plug-in: the fixed dispatcher (checks in their order,
// argument coercion with in-place conversion, by-reference rules, the result
// VARIANT), the fixed name table, and the type information from the module.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <bit>
#include <string>
#include <vector>

#include "automation/com_apartment.h"
#include "plugin/automation.h"
#include "support/plugin_helpers.h"
#include "support/quorvex_dll.h"
#include "support/stub_plugin.h"
#include "win/unique_bstr.h"
#include "win/unique_variant.h"

namespace quorvex::test {
namespace {

std::wstring Text(BSTR s) { return {s ? s : L"", ::SysStringLen(s)}; }

// A real IPkiAuthenticationPlugin that records what the dispatcher hands to
// each method, so that argument order and coercion show without a card
// service behind it. Lives on the test's stack.
class RecordingPlugin final : public StubPlugin {
public:
    struct Call {
        DISPID dispid;
        std::vector<std::wstring> args;  // input parameters in declaration order, as text
    };
    std::vector<Call> calls;
    HRESULT nextResult = S_OK;  // what every method returns
    LONG nextNumber = 0;        // stored into the method's LONG out-parameter

    STDMETHODIMP OpenDevice(BSTR id, LONG* rc) override { return Record(1, {Text(id)}, rc); }
    STDMETHODIMP StartCapture(BSTR u, BSTR d, BSTR p, LONG* rc) override
    {
        return Record(2, {Text(u), Text(d), Text(p)}, rc);
    }
    STDMETHODIMP EndCapture(LONG* rc) override { return Record(3, {}, rc); }
    STDMETHODIMP GetDeviceID(LONG n, BSTR* id) override { return Record(4, {Hand(id, L"device ", n)}, nullptr); }
    STDMETHODIMP GetDeviceCount(BSTR u, BSTR d, LONG* count) override { return Record(5, {Text(u), Text(d)}, count); }
    STDMETHODIMP GetStatusString(LONG n, BSTR* s, LONG* rc) override { return Record(6, {Hand(s, L"status ", n)}, rc); }

private:
    // Hands out "<prefix><n>" and records n.
    static std::wstring Hand(BSTR* out, const wchar_t* prefix, LONG n)
    {
        *out = ::SysAllocString((prefix + std::to_wstring(n)).c_str());
        return std::to_wstring(n);
    }
    HRESULT Record(DISPID dispid, std::vector<std::wstring> args, LONG* out)
    {
        calls.push_back({dispid, std::move(args)});
        if (out) *out = nextNumber;
        return nextResult;
    }
};

void Set(VARIANT& v, VARTYPE vt, LONGLONG bits = 0, const wchar_t* text = nullptr)
{
    ::VariantClear(&v);
    V_VT(&v) = vt;
    V_I8(&v) = bits;
    if (text) V_BSTR(&v) = ::SysAllocString(text);
}

// rgvarg for one call; index 0 is the last parameter, as in DISPPARAMS.
struct ArgumentBlock {
    explicit ArgumentBlock(UINT count, DISPID* names = nullptr, UINT nameCount = 0)
        : params{args, names, count, nameCount}
    {
        for (VARIANT& v : args) ::VariantInit(&v);
    }
    ~ArgumentBlock()
    {
        for (VARIANT& v : args) ::VariantClear(&v);
    }
    VARIANT args[6];
    DISPPARAMS params;
};

class InvokeTest : public ApartmentTest {
protected:
    HRESULT Invoke(DISPID dispid, ArgumentBlock& block)
    {
        result.reset();
        plugin.calls.clear();
        argumentError = 0xDEAD;
        return InvokePluginMethod(&plugin, dispid, &block.params, result.get(), &argumentError);
    }
    static std::wstring AsText(VARIANT* v)
    {
        UniqueVariant text;
        if (FAILED(::VariantChangeType(text.get(), v, 0, VT_BSTR))) return L"<not text>";
        return Text(V_BSTR(text.get()));
    }

    RecordingPlugin plugin;
    UniqueVariant result;
    UINT argumentError = 0xDEAD;
};

TEST_F(InvokeTest, EachMethodGetsItsArgumentsInOrderAndItsResultEvenWhenItFails)
{
    const struct {
        DISPID dispid;
        std::vector<std::wstring> args;  // declaration order
        VARTYPE resultType;
        const wchar_t* result;
    } table[] = {
        {1, {L"reader"}, VT_I4, L"-1"},      {2, {L"user", L"domain", L"1234"}, VT_I4, L"-1"}, {3, {}, VT_I4, L"-1"},
        {4, {L"99"}, VT_BSTR, L"device 99"}, {5, {L"user", L"domain"}, VT_I4, L"-1"},
    };
    plugin.nextResult = E_FAIL;
    plugin.nextNumber = -1;
    for (const auto& row : table) {
        const UINT count = static_cast<UINT>(row.args.size());
        ArgumentBlock block(count);
        for (UINT i = 0; i < count; ++i) Set(block.args[count - 1 - i], VT_BSTR, 0, row.args[i].c_str());
        EXPECT_EQ(Invoke(row.dispid, block), E_FAIL) << "dispid " << row.dispid;
        ASSERT_EQ(plugin.calls.size(), 1u);
        EXPECT_EQ(plugin.calls[0].dispid, row.dispid);
        EXPECT_EQ(plugin.calls[0].args, row.args) << "dispid " << row.dispid;
        EXPECT_EQ(V_VT(result.get()), row.resultType) << "dispid " << row.dispid;
        EXPECT_EQ(AsText(result.get()), row.result);
    }
}

// One argument for GetDeviceID (wants VT_I4) or OpenDevice (wants VT_BSTR),
// directly or through a VT_BYREF|VT_VARIANT.
TEST_F(InvokeTest, ArgumentCoercion)
{
    const struct {
        DISPID dispid;
        bool byRef;
        VARTYPE vt;
        LONGLONG bits;          // stored bits
        const wchar_t* text;    // VT_BSTR content
        const wchar_t* passed;  // what the method got (null: a type mismatch, nothing ran)
        VARTYPE after;          // the caller's argument afterwards
    } table[] = {
        // The integer family passes its stored bits zero-extended and keeps its type.
        {4, false, VT_I2, 3, nullptr, L"3", VT_I2},
        {4, false, VT_I2, 0xFFFF, nullptr, L"65535", VT_I2},
        {4, false, VT_BOOL, 0xFFFF, nullptr, L"65535", VT_BOOL},
        {4, false, VT_I1, 0xFF, nullptr, L"255", VT_I1},
        {4, false, VT_UI4, 0xFFFFFFFF, nullptr, L"-1", VT_UI4},
        {4, false, VT_I8, 0x100000005LL, nullptr, L"5", VT_I8},
        // Anything else is converted, and the caller's argument replaced by the result.
        {4, false, VT_BSTR, 0, L"3", L"3", VT_I4},
        {4, false, VT_R8, std::bit_cast<LONGLONG>(2.75), nullptr, L"3", VT_I4},
        {4, false, VT_DATE, std::bit_cast<LONGLONG>(2.0), nullptr, L"2", VT_I4},
        {1, false, VT_EMPTY, 0, nullptr, L"", VT_BSTR},
        {1, true, VT_I4, 7, nullptr, L"7", VT_BSTR},
        // A failed conversion leaves the argument alone; other by-reference types never fit.
        {4, false, VT_BSTR, 0, L"x", nullptr, VT_BSTR},
        {4, false, VT_NULL, 0, nullptr, nullptr, VT_NULL},
        {1, false, VT_BYREF | VT_BSTR, 0, nullptr, nullptr, VT_BYREF | VT_BSTR},
        {4, true, VT_BYREF | VT_I4, 0, nullptr, nullptr, VT_BYREF | VT_I4},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(testing::Message() << "dispid " << row.dispid << ", vt " << row.vt << ", by ref " << row.byRef);
        ArgumentBlock block(1);
        UniqueVariant referred;
        VARIANT& argument = row.byRef ? *referred.get() : block.args[0];
        Set(argument, row.vt, row.bits, row.text);
        UniqueVariant copy;
        VARIANT& original = *copy.get();
        Set(original, row.vt, row.bits, row.text);
        if (row.byRef) Set(block.args[0], VT_BYREF | VT_VARIANT, reinterpret_cast<LONG_PTR>(referred.get()));
        const HRESULT hr = Invoke(row.dispid, block);
        EXPECT_EQ(V_VT(&argument), row.after);
        EXPECT_EQ(V_VT(&block.args[0]), row.byRef ? VT_BYREF | VT_VARIANT : row.after);
        if (!row.passed) {
            EXPECT_EQ(hr, DISP_E_TYPEMISMATCH);
            EXPECT_EQ(argumentError, 0u);
            EXPECT_TRUE(plugin.calls.empty());
            if (!(row.vt & VT_BYREF)) {
                EXPECT_EQ(AsText(&argument), AsText(&original)) << "left alone";
            }
            continue;
        }
        EXPECT_EQ(hr, S_OK);
        ASSERT_EQ(plugin.calls.size(), 1u);
        EXPECT_EQ(plugin.calls[0].args[0], row.passed);
        EXPECT_EQ(AsText(&argument), row.after == row.vt ? AsText(&original) : row.passed) << "converted in place";
    }
}

TEST_F(InvokeTest, MisfitReportsItsIndexAndLaterArgumentsStayUntouched)
{
    ArgumentBlock block(3);
    Set(block.args[2], VT_BSTR, 0, L"user");
    Set(block.args[1], VT_NULL);
    Set(block.args[0], VT_I4, 1234);
    EXPECT_EQ(Invoke(2, block), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argumentError, 1u);
    EXPECT_TRUE(plugin.calls.empty());
    EXPECT_EQ(V_VT(&block.args[0]), VT_I4);
}

TEST_F(InvokeTest, RejectionsInTheirOrder)
{
    DISPID propertyPut[] = {DISPID_PROPERTYPUT, 0};
    DISPID parameterName[] = {1};
    const struct {
        DISPID dispid;
        UINT count;
        DISPID* names;
        UINT nameCount;
        HRESULT hr;
        VARTYPE resultAfter;  // the result VARIANT is reinitialised once the count is acceptable
    } table[] = {
        {0, 0, nullptr, 0, DISP_E_MEMBERNOTFOUND, VT_EMPTY},
        {7, 0, nullptr, 0, DISP_E_MEMBERNOTFOUND, VT_EMPTY},
        {3, 1, nullptr, 0, DISP_E_BADPARAMCOUNT, VT_EMPTY},
        {3, 5, nullptr, 0, DISP_E_BADPARAMCOUNT, VT_I4},
        {99, 5, nullptr, 0, DISP_E_BADPARAMCOUNT, VT_I4},         // the count goes before the DISPID
        {99, 1, parameterName, 1, DISP_E_NONAMEDARGS, VT_EMPTY},  // names go before the DISPID
        {5, 2, propertyPut, 2, DISP_E_NONAMEDARGS, VT_EMPTY},
        {1, 1, propertyPut, 1, S_OK, VT_I4},  // a single property-put name is ignored
    };
    for (const auto& row : table) {
        ArgumentBlock block(row.count, row.names, row.nameCount);
        Set(*result.get(), VT_I4, 42);  // a plain value: not freeing it cannot leak
        plugin.calls.clear();
        EXPECT_EQ(InvokePluginMethod(&plugin, row.dispid, &block.params, result.get(), nullptr), row.hr)
            << "dispid " << row.dispid << ", " << row.count << " arguments";
        EXPECT_EQ(plugin.calls.size(), row.hr == S_OK ? 1u : 0u);
        EXPECT_EQ(V_VT(result.get()), row.resultAfter);
    }
    EXPECT_EQ(InvokePluginMethod(&plugin, 3, nullptr, result.get(), nullptr), DISP_E_BADVARTYPE);
}

TEST_F(InvokeTest, StatusStringGoesOnlyThroughAByReferenceVariantOrString)
{
    UniqueVariant place;
    Set(*place.get(), VT_BSTR, 0, L"previous content is freed");
    ArgumentBlock byVariant(2);
    Set(byVariant.args[1], VT_I4, 0x20CC);
    Set(byVariant.args[0], VT_BYREF | VT_VARIANT, reinterpret_cast<LONG_PTR>(place.get()));
    EXPECT_EQ(Invoke(6, byVariant), S_OK);
    EXPECT_EQ(V_VT(place.get()), VT_BSTR);
    EXPECT_EQ(AsText(place.get()), L"status 8396");
    EXPECT_EQ(V_VT(result.get()), VT_I4);
    EXPECT_EQ(AsText(result.get()), L"0");

    UniqueBstr text;
    ArgumentBlock byString(2);
    Set(byString.args[1], VT_BSTR, 0, L"204");
    Set(byString.args[0], VT_BYREF | VT_BSTR, reinterpret_cast<LONG_PTR>(text.put()));
    EXPECT_EQ(Invoke(6, byString), S_OK);
    EXPECT_EQ(text.view(), L"status 204");
    EXPECT_EQ(V_VT(&byString.args[1]), VT_I4) << "the status code was converted in place";

    const VARTYPE refused[] = {VT_BSTR, VT_EMPTY, VT_BYREF | VT_I4, VT_I4};
    for (VARTYPE vt : refused) {
        ArgumentBlock block(2);
        Set(block.args[1], VT_I4, 204);
        Set(block.args[0], vt, 0, vt == VT_BSTR ? L"not a place" : nullptr);
        EXPECT_EQ(Invoke(6, block), DISP_E_TYPEMISMATCH) << "vt " << vt;
        EXPECT_EQ(argumentError, 0u) << "vt " << vt;
    }

    // The status code is coerced first; the place for the text stays as it was.
    Set(*place.get(), VT_I4, 5);
    ArgumentBlock misfit(2);
    Set(misfit.args[1], VT_BSTR, 0, L"not a number");
    Set(misfit.args[0], VT_BYREF | VT_VARIANT, reinterpret_cast<LONG_PTR>(place.get()));
    EXPECT_EQ(Invoke(6, misfit), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argumentError, 1u);
    EXPECT_EQ(V_VT(place.get()), VT_I4);
    EXPECT_TRUE(plugin.calls.empty());
}

// The real object behind the real dispatcher: a slot outside the table makes
// GetDeviceID fail, and its error text still reaches the caller.
TEST_F(InvokeTest, RealObjectHandsOutTheErrorTextOfAFailedGetDeviceID)
{
    ComPtr<IPkiAuthenticationPlugin> object = CreatePlugin();
    ASSERT_TRUE(object);
    ArgumentBlock block(1);
    Set(block.args[0], VT_I2, 0xFFFF);  // 65535 after zero-extension: outside the table
    EXPECT_EQ(object->Invoke(4, IID_NULL, 0, DISPATCH_METHOD, &block.params, result.get(), nullptr, &argumentError),
              E_FAIL);
    ASSERT_EQ(V_VT(result.get()), VT_BSTR);
    EXPECT_STREQ(V_BSTR(result.get()), L"ERROR invalid refCount passed in to CSmartCardAuthPlugin::GetDeviceID()");
}

TEST(DispatchNames, MethodNamesOnlyAndCaseInsensitiveForAsciiLetters)
{
    const struct {
        const wchar_t* name;
        DISPID dispid;  // 0: unknown
    } table[] = {
        {L"OpenDevice", 1},
        {L"StartCapture", 2},
        {L"EndCapture", 3},
        {L"GetDeviceID", 4},
        {L"GetDeviceCount", 5},
        {L"GetStatusString", 6},
        {L"getdeviceid", 4},
        {L"GETSTATUSSTRING", 6},
        {L"GetDevice", 0},
        {L"GetDeviceIDs", 0},
        {L"", 0},
        {L"deviceID", 0},
        {L"returnCode", 0},
        {L"G\u0130tDeviceID", 0},  // a capital dotted I is no case variant of ASCII i
    };
    for (const auto& row : table) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(row.name)};
        DISPID dispid = -99;
        EXPECT_EQ(GetPluginIDsOfNames(names, 1, &dispid), row.dispid ? S_OK : DISP_E_UNKNOWNNAME) << row.dispid;
        EXPECT_EQ(dispid, row.dispid ? row.dispid : -99);
    }

    LPOLESTR names[] = {const_cast<LPOLESTR>(L"OpenDevice"), const_cast<LPOLESTR>(L"deviceID"),
                        const_cast<LPOLESTR>(L"EndCapture")};
    DISPID dispids[] = {-99, -99, -99};
    EXPECT_EQ(GetPluginIDsOfNames(names, 3, dispids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(std::vector<DISPID>(dispids, dispids + 3), (std::vector<DISPID>{1, -99, -99}))
        << "the lookup stops at the first unknown name";
}

// Inside this test program the product code's module is the program itself,
// which carries no type library.
TEST(DispatchTypeInfo, ModuleWithoutTypeLibraryReportsNone)
{
    UINT count = 99;
    EXPECT_EQ(GetPluginTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 0u);
    ITypeInfo* typeInfo = reinterpret_cast<ITypeInfo*>(1);
    EXPECT_TRUE(FAILED(GetPluginTypeInfo(0, &typeInfo)));
    EXPECT_EQ(typeInfo, nullptr);
}

class DllDispatchTest : public ApartmentTest {};

TEST_F(DllDispatchTest, TypeInfoOfTheDualInterfaceWithoutRegistration)
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
    // Loaded afresh on every call, whatever the locale.
    ComPtr<ITypeInfo> again;
    EXPECT_EQ(object->GetTypeInfo(0, 0x407, again.put()), S_OK);
    EXPECT_TRUE(again);

    EXPECT_EQ(object->GetTypeInfo(1, 0, nullptr), DISP_E_BADINDEX) << "the index goes before the out-pointer";
    EXPECT_EQ(object->GetTypeInfo(0, 0, nullptr), E_POINTER);
    EXPECT_EQ(object->GetTypeInfoCount(nullptr), E_POINTER);
}

}  // namespace
}  // namespace quorvex::test
