// GetStatusString on a plug-in object, with the module's resource instance
// pointed at a chosen library.
#include <windows.h>

#include <gtest/gtest.h>

#include "resource_test_helpers.h"
#include "support/plugin_helpers.h"
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
};

TEST_F(StatusString, TextOfTheStatusIdThenOfId198ThenTheFixedText)
{
    const HMODULE english = LoadBuiltResourceLibrary(L"VestrelRes_en");
    const HMODULE edges = LoadBuiltResourceLibrary(L"string_table_edges");  // has no id 198
    const HMODULE none = ModuleHandle();  // the program stands for the plug-in module: no string table
    const struct {
        HMODULE library;
        LONG code;
        std::wstring expected;
    } cases[] = {
        {english, 204, L"Waiting for a smart card..."},
        // Only the low 12 bits are the id: the category bits never reach the table.
        {english, 0x20CC, L"Waiting for a smart card..."},
        {english, 0x50DB, L"The smart card does not respond. Remove the card and insert it the right way round."},
        {english, 0x7FFFF0D3, L"No smart-card reader is selected."},
        // Empty entries at both ends of the texts, and a missing block.
        {english, 223, kUnknownStatusText},
        {english, 196, kUnknownStatusText},
        {english, 0x1FFF, kUnknownStatusText},
        {english, 198, kUnknownStatusText},
        // Both sides of a block boundary: id 31 ends block 2, id 32 starts block 3.
        {edges, 30, L"Text of id 30."},
        {edges, 31, L"Text of id 31, the last entry of block 2."},
        {edges, 32, L"Text of id 32, the first entry of block 3."},
        {edges, 34, L"Text of id 34."},
        // The out-of-memory failure value looks up id 14.
        {edges, static_cast<LONG>(0x8007000E), L"Text of id 14."},
        // Empty entries (33, and 15 at the end of block 1), a missing block,
        // and an entry whose length runs past its block (1585), beside a
        // sound one: without id 198 the fixed text comes.
        {edges, 33, kFixedText},
        {edges, 15, kFixedText},
        {edges, 198, kFixedText},
        {edges, 1584, L"ab"},
        {edges, 1585, kFixedText},
        {edges, 1586, kFixedText},
        {none, 204, kFixedText},
        {none, 0x20CC, kFixedText},
        {none, 198, kFixedText},
        {none, 0, kFixedText},
    };
    for (const auto& c : cases) {
        ScopedResourceInstance instance(c.library);
        UniqueBstr text;
        LONG returnCode = -1;
        EXPECT_EQ(plugin_->GetStatusString(c.code, text.put(), &returnCode), S_OK) << c.code;
        EXPECT_EQ(returnCode, 0) << c.code;
        EXPECT_EQ(text.view(), c.expected) << c.code;
    }
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

}  // namespace
}  // namespace quorvex::test
