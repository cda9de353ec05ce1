// Faults found in the dispatcher while fuzzing it, each pinned by one case.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <vector>

#include "plugin/automation.h"
#include "support/quorvex_dll.h"
#include "support/stub_plugin.h"
#include "win/com_ptr.h"
#include "win/unique_bstr.h"
#include "win/unique_variant.h"

namespace quorvex::test {
namespace {

class DispatchFaultTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override { ::CoUninitialize(); }
};

// rgvarg of one call, cleared afterwards the way a caller does.
struct Arguments {
    explicit Arguments(UINT count) : values(count)
    {
        for (VARIANT& v : values) ::VariantInit(&v);
    }
    ~Arguments()
    {
        for (VARIANT& v : values) ::VariantClear(&v);
    }
    DISPPARAMS Params() { return {values.data(), nullptr, static_cast<UINT>(values.size()), 0}; }
    std::vector<VARIANT> values;
};

VARIANT Value(VARTYPE vt, LONGLONG bits = 0, const wchar_t* text = nullptr)
{
    VARIANT v;
    ::VariantInit(&v);
    V_VT(&v) = vt;
    V_I8(&v) = bits;
    if (text) V_BSTR(&v) = ::SysAllocString(text);
    return v;
}

VARIANT RefersTo(VARIANT* referred) { return Value(VT_BYREF | VT_VARIANT, reinterpret_cast<LONG_PTR>(referred)); }

// A later argument that does not fit used to leave the earlier ones of the
// same call converted in place: a failed call changed the caller's variables.
TEST_F(DispatchFaultTest, AFailedCallLeavesEveryArgumentAsItWas)
{
    QuorvexDll dll;
    ComPtr<IDispatch> plugin;
    ASSERT_EQ(dll.CreateInstance(nullptr, IID_IDispatch, plugin.put_void()), S_OK);

    UniqueVariant variable;  // a script variable passed by reference
    const struct {
        DISPID dispid;
        UINT count;
        UINT misfit;
    } table[] = {
        {2, 3, 1},  // StartCapture: username converts, domainname does not
        {5, 2, 0},  // GetDeviceCount: username (by reference) converts, domainname does not
        {6, 2, 0},  // GetStatusString: statusCode converts, no place for the text
    };
    for (const auto& row : table) {
        SCOPED_TRACE(testing::Message() << "dispid " << row.dispid);
        Arguments arguments(row.count);
        ::VariantClear(variable.get());
        *variable.get() = Value(VT_R8, 0);
        V_R8(variable.get()) = 2.5;
        arguments.values[row.count - 1] = row.dispid == 5   ? RefersTo(variable.get())
                                          : row.dispid == 6 ? Value(VT_BSTR, 0, L"204")
                                                            : Value(VT_I4, 5);
        arguments.values[row.misfit] = Value(VT_NULL);
        std::vector<VARIANT> before = arguments.values;
        DISPPARAMS params = arguments.Params();
        UniqueVariant result;
        UINT argumentError = 99;
        EXPECT_EQ(
            plugin->Invoke(row.dispid, IID_NULL, 0, DISPATCH_METHOD, &params, result.get(), nullptr, &argumentError),
            DISP_E_TYPEMISMATCH);
        EXPECT_EQ(argumentError, row.misfit);
        EXPECT_EQ(std::memcmp(arguments.values.data(), before.data(), row.count * sizeof(VARIANT)), 0);
        EXPECT_EQ(V_VT(variable.get()), VT_R8);
    }
}

// A property put names the value it puts: with no argument there is nothing
// to name, and the call used to run EndCapture all the same.
TEST_F(DispatchFaultTest, APropertyPutNameWithoutAValueIsRefused)
{
    QuorvexDll dll;
    ComPtr<IDispatch> plugin;
    ASSERT_EQ(dll.CreateInstance(nullptr, IID_IDispatch, plugin.put_void()), S_OK);
    DISPID propertyPut = DISPID_PROPERTYPUT;
    DISPPARAMS params{nullptr, &propertyPut, 0, 1};
    UniqueVariant result;
    EXPECT_EQ(plugin->Invoke(3, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, result.get(), nullptr, nullptr),
              DISP_E_NONAMEDARGS);
    EXPECT_EQ(V_VT(result.get()), VT_EMPTY) << "EndCapture ran";
}

// Records whether each string StartCapture gets is the one that `holder`
// holds while the method runs.
class SharedArgumentTarget final : public StubPlugin {
public:
    const VARIANT* holder = nullptr;
    std::vector<bool> alive;

    STDMETHODIMP StartCapture(BSTR username, BSTR domainname, BSTR pin, LONG* returnCode) override
    {
        for (BSTR s : {username, domainname, pin}) alive.push_back(V_VT(holder) == VT_BSTR && s == V_BSTR(holder));
        *returnCode = 0;
        return S_OK;
    }
};

// One variable passed three times (a script's StartCapture x, x, x), or an
// argument that refers to another: converting the shared VARIANT again for a
// later argument used to free the string an earlier argument had been given.
TEST_F(DispatchFaultTest, ArgumentsSharingOneVariantAllGetItsLiveString)
{
    SharedArgumentTarget target;
    {
        UniqueVariant x;
        *x.get() = Value(VT_I4, 5);
        Arguments arguments(3);
        for (VARIANT& v : arguments.values) v = RefersTo(x.get());
        DISPPARAMS params = arguments.Params();
        target.holder = x.get();
        EXPECT_EQ(InvokePluginMethod(&target, 2, &params, nullptr, nullptr), S_OK);
        EXPECT_EQ(target.alive, (std::vector<bool>{true, true, true}));
        EXPECT_EQ(V_VT(x.get()), VT_BSTR) << "converted in place all the same";
    }
    {
        target.alive.clear();
        Arguments arguments(3);
        arguments.values[2] = Value(VT_BSTR, 0, L"user");
        arguments.values[1] = RefersTo(&arguments.values[2]);
        arguments.values[0] = RefersTo(&arguments.values[2]);
        DISPPARAMS params = arguments.Params();
        target.holder = &arguments.values[2];
        EXPECT_EQ(InvokePluginMethod(&target, 2, &params, nullptr, nullptr), S_OK);
        EXPECT_EQ(target.alive, (std::vector<bool>{true, true, true}));
    }
}

}  // namespace
}  // namespace quorvex::test
