// GetStatusString on a plug-in object, with the module's resource instance
// pointed at a chosen library.
#include <windows.h>

#include <gtest/gtest.h>

#include "module/module_state.h"
#include "support/plugin_helpers.h"
#include "resource_test_helpers.h"
#include "resources/status_text.h"
#include "win/unique_bstr.h"

namespace quorvex::test {
namespace {

const std::wstring kFixedText = L"ERROR: cannot load status string for requested status code.";
const std::wstring kUnknownStatusText = L"The smart-card component reported a status that has no description.";

class StatusString : public testing::Test {
protected:
    // The object is made first: its construction may install a library of
    // its own, which the test then replaces.
    ComPtr<IPkiAuthenticationPlugin> plugin_ = CreatePlugin();

    std::wstring Text(LONG statusCode)
    {
        UniqueBstr text;
        LONG returnCode = -1;
        EXPECT_EQ(plugin_->GetStatusString(statusCode, text.put(), &returnCode), S_OK) << statusCode;
        EXPECT_EQ(returnCode, 0) << statusCode;
        return std::wstring(text.view());
    }
};

TEST_F(StatusString, CategoryBitsNeverReachTheStringTable)
{
    ScopedResourceInstance english(LoadBuiltResourceLibrary(L"VestrelRes_en"));
    EXPECT_EQ(Text(204), L"Waiting for a smart card...");
    EXPECT_EQ(Text(0x20CC), Text(204));
    EXPECT_EQ(Text(0x50DB), Text(219));
    EXPECT_EQ(Text(0x7FFFF0D3), Text(211));
    EXPECT_EQ(Text(211), L"No smart-card reader is selected.");
}

TEST_F(StatusString, MissingOrEmptyEntryFallsBackToTheUnknownStatusText)
{
    ScopedResourceInstance english(LoadBuiltResourceLibrary(L"VestrelRes_en"));
    EXPECT_EQ(Text(223), kUnknownStatusText);  // empty entry of the block with 208-222
    EXPECT_EQ(Text(196), kUnknownStatusText);  // empty entry of the block with 197-207
    EXPECT_EQ(Text(0x1FFF), kUnknownStatusText);  // no block at all
    EXPECT_EQ(Text(198), kUnknownStatusText);
}

TEST_F(StatusString, WithoutTheIdAndWithoutTheUnknownStatusTextTheFixedTextComes)
{
    ScopedResourceInstance edges(LoadBuiltResourceLibrary(L"string_table_edges"));
    EXPECT_EQ(Text(33), kFixedText);
    EXPECT_EQ(Text(1585), kFixedText);  // damaged entry
    EXPECT_EQ(Text(32), L"Text of id 32, the first entry of block 3.");
}

TEST_F(StatusString, OutOfMemoryFailureValueLooksUpId14)
{
    ScopedResourceInstance edges(LoadBuiltResourceLibrary(L"string_table_edges"));
    EXPECT_EQ(Text(static_cast<LONG>(0x8007000E)), L"Text of id 14.");
}

TEST_F(StatusString, NoLibraryLoadedGivesTheFixedTextAndSuccess)
{
    // The program itself stands for the plug-in module: it has no string table.
    ScopedResourceInstance none(ModuleHandle());
    for (LONG code : {204L, 0x20CCL, 198L, 0L}) EXPECT_EQ(Text(code), kFixedText) << code;
}

TEST_F(StatusString, NullOutPointersGiveEPointerAndWriteNothing)
{
    ScopedResourceInstance english(LoadBuiltResourceLibrary(L"VestrelRes_en"));
    BSTR untouched = reinterpret_cast<BSTR>(static_cast<uintptr_t>(0x1234));
    EXPECT_EQ(plugin_->GetStatusString(204, &untouched, nullptr), E_POINTER);
    EXPECT_EQ(untouched, reinterpret_cast<BSTR>(static_cast<uintptr_t>(0x1234)));

    LONG returnCode = 77;
    EXPECT_EQ(plugin_->GetStatusString(204, nullptr, &returnCode), E_POINTER);
    EXPECT_EQ(returnCode, 77);
    EXPECT_EQ(plugin_->GetStatusString(204, nullptr, nullptr), E_POINTER);
}

TEST_F(StatusString, LateBoundCallReachesTheSameText)
{
    ScopedResourceInstance german(LoadBuiltResourceLibrary(L"VestrelRes_de"));
    // GetStatusString is DISPID 6: statusCode in, statusString out, returnCode retval.
    BSTR text = nullptr;
    VARIANT arguments[2];
    VariantInit(&arguments[0]);
    arguments[0].vt = VT_BSTR | VT_BYREF;
    arguments[0].pbstrVal = &text;
    VariantInit(&arguments[1]);
    arguments[1].vt = VT_I4;
    arguments[1].lVal = 0x20CC;
    DISPPARAMS parameters{arguments, nullptr, 2, 0};
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(plugin_->Invoke(6, IID_NULL, 0, DISPATCH_METHOD, &parameters, &result, nullptr, nullptr), S_OK);
    UniqueBstr owned(text);
    EXPECT_EQ(owned.view(), L"Warten auf eine Smartcard...");
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 0);
}

}  // namespace
}  // namespace quorvex::test
