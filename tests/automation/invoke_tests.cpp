// The fixed dispatcher: checks in their order, argument coercion with in-place
// conversion, by-reference rules and the result VARIANT.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>

#include "automation/com_apartment.h"
#include "automation/recording_plugin.h"
#include "module/automation.h"
#include "support/plugin_helpers.h"
#include "win/unique_bstr.h"

namespace quorvex::test {
namespace {

// rgvarg for one call; index 0 is the last parameter, as in DISPPARAMS.
class ArgumentBlock {
public:
    explicit ArgumentBlock(UINT count) : count_(count)
    {
        for (VARIANT& v : args_) ::VariantInit(&v);
        params_.rgvarg = args_;
        params_.cArgs = count;
    }
    ~ArgumentBlock()
    {
        for (VARIANT& v : args_) ::VariantClear(&v);
    }
    VARIANT& operator[](UINT index) { return args_[index]; }
    void SetBstr(UINT index, const wchar_t* text)
    {
        V_VT(&args_[index]) = VT_BSTR;
        V_BSTR(&args_[index]) = ::SysAllocString(text);
    }
    void SetI4(UINT index, LONG value)
    {
        V_VT(&args_[index]) = VT_I4;
        V_I4(&args_[index]) = value;
    }
    void Name(DISPID* names, UINT count)
    {
        params_.rgdispidNamedArgs = names;
        params_.cNamedArgs = count;
    }
    DISPPARAMS* params() { return &params_; }

private:
    UINT count_;
    VARIANT args_[6];
    DISPPARAMS params_{};
};

class InvokeTest : public ApartmentTest {
protected:
    HRESULT Invoke(DISPID dispid, ArgumentBlock& args)
    {
        result.reset();
        argumentError = 0xDEAD;
        return InvokePluginMethod(&plugin, dispid, args.params(), result.get(), &argumentError);
    }

    RecordingPlugin plugin;
    UniqueVariant result;
    UINT argumentError = 0xDEAD;
};

TEST_F(InvokeTest, IntegerFamilyArgumentsPassTheirBitsZeroExtended)
{
    struct Case {
        VARTYPE vt;
        LONGLONG bits;
        LONG expected;
    };
    const Case cases[] = {
        {VT_I2, 3, 3},
        {VT_I2, -1, 65535},
        {VT_BOOL, VARIANT_TRUE, 65535},
        {VT_I1, -1, 255},
        {VT_UI4, 0xFFFFFFFF, -1},
        {VT_I8, 0x100000005LL, 5},
    };
    for (const Case& c : cases) {
        ArgumentBlock args(1);
        V_VT(&args[0]) = c.vt;
        V_I8(&args[0]) = c.bits;
        if (c.vt == VT_I2 || c.vt == VT_BOOL) V_I8(&args[0]) = static_cast<USHORT>(c.bits);
        if (c.vt == VT_I1) V_I8(&args[0]) = static_cast<UCHAR>(c.bits);
        plugin.calls.clear();
        EXPECT_EQ(Invoke(4, args), S_OK) << "vt " << c.vt;
        ASSERT_EQ(plugin.calls.size(), 1u);
        EXPECT_EQ(plugin.calls[0].number, c.expected) << "vt " << c.vt;
        EXPECT_EQ(V_VT(&args[0]), c.vt) << "integer arguments keep their type";
    }
}

TEST_F(InvokeTest, NumericStringIsConvertedInTheCallersArgument)
{
    ArgumentBlock args(1);
    args.SetBstr(0, L"3");
    EXPECT_EQ(Invoke(4, args), S_OK);
    ASSERT_EQ(plugin.calls.size(), 1u);
    EXPECT_EQ(plugin.calls[0].number, 3);
    ASSERT_EQ(V_VT(&args[0]), VT_I4);
    EXPECT_EQ(V_I4(&args[0]), 3);
    ASSERT_EQ(V_VT(result.get()), VT_BSTR);
    EXPECT_STREQ(V_BSTR(result.get()), L"device 3");
}

TEST_F(InvokeTest, NonNumericStringIsATypeMismatchAndNothingRuns)
{
    ArgumentBlock args(1);
    args.SetBstr(0, L"x");
    EXPECT_EQ(Invoke(4, args), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argumentError, 0u);
    EXPECT_TRUE(plugin.calls.empty());
    ASSERT_EQ(V_VT(&args[0]), VT_BSTR);
    EXPECT_STREQ(V_BSTR(&args[0]), L"x");
}

TEST_F(InvokeTest, FloatingPointAndDateAreConvertedNumerically)
{
    ArgumentBlock args(1);
    V_VT(&args[0]) = VT_R8;
    V_R8(&args[0]) = 2.75;
    EXPECT_EQ(Invoke(4, args), S_OK);
    ASSERT_EQ(plugin.calls.size(), 1u);
    EXPECT_EQ(plugin.calls[0].number, 3);

    ArgumentBlock date(1);
    V_VT(&date[0]) = VT_DATE;
    V_DATE(&date[0]) = 2.0;
    EXPECT_EQ(Invoke(4, date), S_OK);
    EXPECT_EQ(plugin.calls.back().number, 2);
}

TEST_F(InvokeTest, StartCaptureTakesItsArgumentsFromTheLastIndexDown)
{
    ArgumentBlock args(3);
    args.SetBstr(2, L"user");
    args.SetBstr(1, L"domain");
    args.SetI4(0, 1234);
    plugin.nextNumber = -1;
    EXPECT_EQ(Invoke(2, args), S_OK);
    ASSERT_EQ(plugin.calls.size(), 1u);
    EXPECT_EQ(plugin.calls[0].strings, (std::vector<std::wstring>{L"user", L"domain", L"1234"}));
    ASSERT_EQ(V_VT(result.get()), VT_I4);
    EXPECT_EQ(V_I4(result.get()), -1);
}

TEST_F(InvokeTest, StartCaptureReportsTheIndexOfTheArgumentThatDoesNotFit)
{
    ArgumentBlock args(3);
    args.SetBstr(2, L"user");
    V_VT(&args[1]) = VT_NULL;
    args.SetI4(0, 1234);
    EXPECT_EQ(Invoke(2, args), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argumentError, 1u);
    EXPECT_TRUE(plugin.calls.empty());
    EXPECT_EQ(V_VT(&args[0]), VT_I4) << "arguments after the misfit are not touched";
}

TEST_F(InvokeTest, ByReferenceStringIsRefusedAndByReferenceVariantIsConvertedWhereItLives)
{
    UniqueBstr text;
    ArgumentBlock byRefString(1);
    V_VT(&byRefString[0]) = VT_BYREF | VT_BSTR;
    V_BSTRREF(&byRefString[0]) = text.put();
    *V_BSTRREF(&byRefString[0]) = ::SysAllocString(L"reader");
    EXPECT_EQ(Invoke(1, byRefString), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argumentError, 0u);
    EXPECT_TRUE(plugin.calls.empty());

    UniqueVariant referred;
    V_VT(referred.get()) = VT_I4;
    V_I4(referred.get()) = 7;
    ArgumentBlock byRefVariant(1);
    V_VT(&byRefVariant[0]) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&byRefVariant[0]) = referred.get();
    EXPECT_EQ(Invoke(1, byRefVariant), S_OK);
    ASSERT_EQ(plugin.calls.size(), 1u);
    EXPECT_EQ(plugin.calls[0].strings[0], L"7");
    EXPECT_EQ(V_VT(&byRefVariant[0]), VT_BYREF | VT_VARIANT);
    ASSERT_EQ(V_VT(referred.get()), VT_BSTR);
    EXPECT_STREQ(V_BSTR(referred.get()), L"7");
}

TEST_F(InvokeTest, EmptyArgumentBecomesAnEmptyString)
{
    ArgumentBlock args(1);
    EXPECT_EQ(Invoke(1, args), S_OK);
    ASSERT_EQ(plugin.calls.size(), 1u);
    EXPECT_EQ(plugin.calls[0].strings[0], L"");
}

TEST_F(InvokeTest, UnknownDispidsAndWrongCountsAreRejectedBeforeAnythingRuns)
{
    ArgumentBlock none(0);
    EXPECT_EQ(Invoke(0, none), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Invoke(7, none), DISP_E_MEMBERNOTFOUND);

    ArgumentBlock one(1);
    one.SetI4(0, 1);
    EXPECT_EQ(Invoke(3, one), DISP_E_BADPARAMCOUNT);

    ArgumentBlock five(5);
    EXPECT_EQ(Invoke(3, five), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(Invoke(99, five), DISP_E_BADPARAMCOUNT) << "the count is checked before the DISPID";
    EXPECT_TRUE(plugin.calls.empty());

    EXPECT_EQ(InvokePluginMethod(&plugin, 3, nullptr, result.get(), &argumentError), DISP_E_BADVARTYPE);
}

TEST_F(InvokeTest, OnlyASinglePropertyPutNameIsAccepted)
{
    DISPID propertyPut[] = {DISPID_PROPERTYPUT};
    ArgumentBlock put(1);
    put.SetBstr(0, L"reader");
    put.Name(propertyPut, 1);
    EXPECT_EQ(Invoke(1, put), S_OK);
    ASSERT_EQ(plugin.calls.size(), 1u);
    EXPECT_EQ(plugin.calls[0].strings[0], L"reader");

    DISPID parameterName[] = {1};
    ArgumentBlock named(1);
    named.SetBstr(0, L"reader");
    named.Name(parameterName, 1);
    EXPECT_EQ(Invoke(99, named), DISP_E_NONAMEDARGS) << "names are checked before the DISPID";

    DISPID twoNames[] = {DISPID_PROPERTYPUT, 0};
    ArgumentBlock two(2);
    two.Name(twoNames, 2);
    EXPECT_EQ(Invoke(5, two), DISP_E_NONAMEDARGS);
    EXPECT_EQ(plugin.calls.size(), 1u);
}

TEST_F(InvokeTest, ResultIsReinitialisedOnceTheCountIsAcceptable)
{
    ArgumentBlock none(0);
    V_VT(result.get()) = VT_I4;
    V_I4(result.get()) = 42;
    // The previous content is not freed: a plain value keeps this leak-free.
    EXPECT_EQ(InvokePluginMethod(&plugin, 7, none.params(), result.get(), nullptr), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(V_VT(result.get()), VT_EMPTY);

    ArgumentBlock five(5);
    V_VT(result.get()) = VT_I4;
    V_I4(result.get()) = 42;
    EXPECT_EQ(InvokePluginMethod(&plugin, 3, five.params(), result.get(), nullptr), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(V_VT(result.get()), VT_I4);
}

TEST_F(InvokeTest, ResultIsWrittenWhenTheMethodFails)
{
    plugin.nextResult = E_FAIL;
    plugin.nextNumber = -1;
    ArgumentBlock open(1);
    open.SetBstr(0, L"nothing");
    EXPECT_EQ(Invoke(1, open), E_FAIL);
    ASSERT_EQ(V_VT(result.get()), VT_I4);
    EXPECT_EQ(V_I4(result.get()), -1);

    ArgumentBlock id(1);
    id.SetI4(0, 99);
    EXPECT_EQ(Invoke(4, id), E_FAIL);
    ASSERT_EQ(V_VT(result.get()), VT_BSTR);
    EXPECT_STREQ(V_BSTR(result.get()), L"device 99");
}

TEST_F(InvokeTest, GetDeviceCountPassesUserAndDomainAndReturnsTheCount)
{
    ArgumentBlock args(2);
    args.SetBstr(1, L"user");
    args.SetBstr(0, L"domain");
    plugin.nextNumber = 2;
    EXPECT_EQ(Invoke(5, args), S_OK);
    ASSERT_EQ(plugin.calls.size(), 1u);
    EXPECT_EQ(plugin.calls[0].strings, (std::vector<std::wstring>{L"user", L"domain"}));
    ASSERT_EQ(V_VT(result.get()), VT_I4);
    EXPECT_EQ(V_I4(result.get()), 2);
}

TEST_F(InvokeTest, EndCaptureTakesNoArguments)
{
    ArgumentBlock none(0);
    EXPECT_EQ(Invoke(3, none), S_OK);
    ASSERT_EQ(plugin.calls.size(), 1u);
    EXPECT_EQ(plugin.calls[0].dispid, 3);
    ASSERT_EQ(V_VT(result.get()), VT_I4);
    EXPECT_EQ(V_I4(result.get()), 0);
}

class StatusStringTest : public InvokeTest {};

TEST_F(StatusStringTest, ByReferenceVariantReceivesTheTextAsAString)
{
    UniqueVariant text;
    V_VT(text.get()) = VT_BSTR;
    V_BSTR(text.get()) = ::SysAllocString(L"previous content is freed");
    ArgumentBlock args(2);
    args.SetI4(1, 0x20CC);
    V_VT(&args[0]) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&args[0]) = text.get();

    EXPECT_EQ(Invoke(6, args), S_OK);
    ASSERT_EQ(plugin.calls.size(), 1u);
    EXPECT_EQ(plugin.calls[0].number, 0x20CC);
    ASSERT_EQ(V_VT(text.get()), VT_BSTR);
    EXPECT_STREQ(V_BSTR(text.get()), L"status 8396");
    ASSERT_EQ(V_VT(result.get()), VT_I4);
    EXPECT_EQ(V_I4(result.get()), 0);
}

TEST_F(StatusStringTest, ByReferenceStringReceivesTheText)
{
    UniqueBstr text;
    ArgumentBlock args(2);
    args.SetBstr(1, L"204");
    V_VT(&args[0]) = VT_BYREF | VT_BSTR;
    V_BSTRREF(&args[0]) = text.put();

    EXPECT_EQ(Invoke(6, args), S_OK);
    EXPECT_EQ(text.view(), L"status 204");
    EXPECT_EQ(V_VT(&args[1]), VT_I4) << "the status code was converted in place";
}

TEST_F(StatusStringTest, AnyOtherPlaceForTheTextIsRefused)
{
    const VARTYPE refused[] = {VT_BSTR, VT_EMPTY, VT_BYREF | VT_I4, VT_I4};
    for (VARTYPE vt : refused) {
        ArgumentBlock args(2);
        args.SetI4(1, 204);
        V_VT(&args[0]) = vt;
        if (vt == VT_BSTR) V_BSTR(&args[0]) = ::SysAllocString(L"not a place");
        EXPECT_EQ(Invoke(6, args), DISP_E_TYPEMISMATCH) << "vt " << vt;
        EXPECT_EQ(argumentError, 0u) << "vt " << vt;
    }
    EXPECT_TRUE(plugin.calls.empty());
}

TEST_F(StatusStringTest, StatusCodeIsCheckedFirstAndLeavesTheTextVariantAlone)
{
    UniqueVariant text;
    V_VT(text.get()) = VT_I4;
    V_I4(text.get()) = 5;
    ArgumentBlock args(2);
    args.SetBstr(1, L"not a number");
    V_VT(&args[0]) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&args[0]) = text.get();

    EXPECT_EQ(Invoke(6, args), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argumentError, 1u);
    EXPECT_EQ(V_VT(text.get()), VT_I4);
    EXPECT_TRUE(plugin.calls.empty());
}

// The real object behind the real dispatcher: a slot outside the table makes
// GetDeviceID fail, and its error text still reaches the caller.
TEST_F(InvokeTest, RealObjectHandsOutTheErrorTextOfAFailedGetDeviceID)
{
    ComPtr<IPkiAuthenticationPlugin> object = CreatePlugin();
    ASSERT_TRUE(object);
    ArgumentBlock args(1);
    V_VT(&args[0]) = VT_I2;
    V_I2(&args[0]) = -1;  // 65535 after zero-extension: outside the table
    EXPECT_EQ(object->Invoke(4, IID_NULL, 0, DISPATCH_METHOD, args.params(), result.get(), nullptr, &argumentError),
              E_FAIL);
    ASSERT_EQ(V_VT(result.get()), VT_BSTR);
    EXPECT_STREQ(V_BSTR(result.get()), L"ERROR invalid refCount passed in to CSmartCardAuthPlugin::GetDeviceID()");
}

}  // namespace
}  // namespace quorvex::test
