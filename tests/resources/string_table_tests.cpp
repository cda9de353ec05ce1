// Reading strings straight from RT_STRING blocks: hand-made blocks for the
// bounds, and the built sample libraries. Lookups in a library through the
// module's resource instance are checked with GetStatusString.
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "resource_test_helpers.h"
#include "resources/string_table.h"

namespace quorvex::test {
namespace {

// A block from (length, text) entries; fewer than 16 entries make a block that
// ends early.
std::vector<WCHAR> Block(std::initializer_list<std::wstring_view> entries)
{
    std::vector<WCHAR> block;
    for (std::wstring_view entry : entries) {
        block.push_back(static_cast<WCHAR>(entry.size()));
        block.insert(block.end(), entry.begin(), entry.end());
    }
    return block;
}

TEST(StringTableEntry, FindsEachEntryWithItsExactLengthAndNeverReadsPastTheBlock)
{
    const std::vector<WCHAR> four = Block({L"first", L"", L"third entry", L"x"});
    const std::vector<WCHAR> two = Block({L"ab", L"cdefgh"});
    const std::vector<WCHAR> prefixLast = {2, L'a', L'b', 5};
    const struct {
        const std::vector<WCHAR>& block;
        size_t cutBytes;  // taken off the end of the block's size
        unsigned entry;
        const wchar_t* expected;  // null: missing
    } cases[] = {
        {four, 0, 0, L"first"},
        {four, 0, 2, L"third entry"},
        {four, 0, 3, L"x"},
        {four, 0, 1, nullptr},  // empty entry
        {four, 0, 4, nullptr},
        {four, 0, 15, nullptr},
        {four, four.size() * 2, 0, nullptr},  // beyond the block
        {two, 0, 1, L"cdefgh"},               // ends exactly at the block's end
        {two, 4, 0, L"ab"},
        {two, 4, 1, nullptr},         // "gh" cut off: the text would run past the end
        {two, 4, 2, nullptr},         // a skipped entry that runs past the end also ends the walk
        {two, 1, 1, nullptr},         // an odd byte holds no further code unit
        {prefixLast, 0, 1, nullptr},  // a length prefix as the block's last unit
    };
    for (const auto& c : cases) {
        const auto text = StringTableEntry(c.block.data(), c.block.size() * sizeof(WCHAR) - c.cutBytes, c.entry);
        EXPECT_EQ(text ? std::wstring(*text) : L"(missing)", c.expected ? c.expected : L"(missing)")
            << "entry " << c.entry << " of a " << c.block.size() << "-unit block cut by " << c.cutBytes;
    }
}

TEST(SampleLibraries, EveryReportedStatusHasATextInEveryLanguage)
{
    for (const wchar_t* name :
         {L"VestrelRes_en", L"VestrelRes_de", L"VestrelRes_zh-CHS", L"VestrelRes_zh-CHT", L"VestrelRes_pt-BR"}) {
        HMODULE library = LoadBuiltResourceLibrary(name);
        for (UINT id = 197; id <= 222; ++id) EXPECT_TRUE(LoadModuleString(library, id)) << ToUtf8(name) << " id " << id;
        EXPECT_FALSE(LoadModuleString(library, 223)) << ToUtf8(name);
    }
}

}  // namespace
}  // namespace quorvex::test
