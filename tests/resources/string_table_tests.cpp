// Reading strings straight from RT_STRING blocks: hand-made blocks for the
// bounds, and a built library for the platform's resource lookup.
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

size_t Bytes(const std::vector<WCHAR>& block) { return block.size() * sizeof(WCHAR); }

TEST(StringTableEntry, FindsEachEntryWithItsExactLength)
{
    const std::vector<WCHAR> block = Block({L"first", L"", L"third entry", L"x"});
    EXPECT_EQ(StringTableEntry(block.data(), Bytes(block), 0), std::wstring_view(L"first"));
    EXPECT_EQ(StringTableEntry(block.data(), Bytes(block), 2), std::wstring_view(L"third entry"));
    EXPECT_EQ(StringTableEntry(block.data(), Bytes(block), 3), std::wstring_view(L"x"));
}

TEST(StringTableEntry, EmptyEntryAndEntriesBeyondTheBlockAreMissing)
{
    const std::vector<WCHAR> block = Block({L"first", L"", L"third"});
    EXPECT_FALSE(StringTableEntry(block.data(), Bytes(block), 1));
    EXPECT_FALSE(StringTableEntry(block.data(), Bytes(block), 3));
    EXPECT_FALSE(StringTableEntry(block.data(), Bytes(block), 15));
    EXPECT_FALSE(StringTableEntry(block.data(), 0, 0));
}

TEST(StringTableEntry, LengthRunningPastTheBlockEndFailsInsteadOfReadingOn)
{
    // The text after the block's declared size must never be returned.
    std::vector<WCHAR> buffer = Block({L"ab", L"cdefgh"});
    const size_t declared = Bytes(buffer) - 2 * sizeof(WCHAR);  // cuts "gh" off entry 1
    EXPECT_EQ(StringTableEntry(buffer.data(), declared, 0), std::wstring_view(L"ab"));
    EXPECT_FALSE(StringTableEntry(buffer.data(), declared, 1));
    // A skipped entry that runs past the end also ends the walk.
    EXPECT_FALSE(StringTableEntry(buffer.data(), declared, 2));
    // An entry ending exactly at the block's end is whole.
    EXPECT_EQ(StringTableEntry(buffer.data(), Bytes(buffer), 1), std::wstring_view(L"cdefgh"));
    // A size with an odd byte holds no further code unit.
    EXPECT_FALSE(StringTableEntry(buffer.data(), Bytes(buffer) - 1, 1));
}

TEST(StringTableEntry, LengthPrefixAsLastUnitOfTheBlockFails)
{
    const std::vector<WCHAR> block = {2, L'a', L'b', 5};
    EXPECT_FALSE(StringTableEntry(block.data(), Bytes(block), 1));
}

class ModuleStrings : public testing::Test {
protected:
    HMODULE edges_ = LoadBuiltResourceLibrary(L"string_table_edges");
};

TEST_F(ModuleStrings, IdsOnBothSidesOfABlockBoundary)
{
    ASSERT_NE(edges_, nullptr);
    EXPECT_EQ(LoadModuleString(edges_, 31), L"Text of id 31, the last entry of block 2.");
    EXPECT_EQ(LoadModuleString(edges_, 32), L"Text of id 32, the first entry of block 3.");
    EXPECT_EQ(LoadModuleString(edges_, 30), L"Text of id 30.");
    EXPECT_EQ(LoadModuleString(edges_, 34), L"Text of id 34.");
}

TEST_F(ModuleStrings, EmptyEntriesAndMissingBlocksAreMissing)
{
    ASSERT_NE(edges_, nullptr);
    EXPECT_FALSE(LoadModuleString(edges_, 33));   // empty entry between 32 and 34
    EXPECT_FALSE(LoadModuleString(edges_, 15));   // empty last entry of block 1
    EXPECT_FALSE(LoadModuleString(edges_, 198));  // no block 13 at all
}

TEST_F(ModuleStrings, DamagedBlockInALibraryFailsOnlyTheDamagedEntry)
{
    ASSERT_NE(edges_, nullptr);
    EXPECT_EQ(LoadModuleString(edges_, 1584), L"ab");
    EXPECT_FALSE(LoadModuleString(edges_, 1585));
    EXPECT_FALSE(LoadModuleString(edges_, 1586));
}

TEST(SampleLibraries, EveryReportedStatusHasATextInEveryLanguage)
{
    for (const wchar_t* name :
         {L"VestrelRes_en", L"VestrelRes_de", L"VestrelRes_zh-CHS", L"VestrelRes_zh-CHT", L"VestrelRes_pt-BR"}) {
        HMODULE library = LoadBuiltResourceLibrary(name);
        ASSERT_NE(library, nullptr);
        for (UINT id = 197; id <= 222; ++id) {
            EXPECT_TRUE(LoadModuleString(library, id)) << ToUtf8(name) << " id " << id;
        }
        EXPECT_FALSE(LoadModuleString(library, 223)) << ToUtf8(name);
    }
}

}  // namespace
}  // namespace quorvex::test
