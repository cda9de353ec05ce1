// Hostile resource libraries: copies of the built English library whose
// string blocks are cut, overlong, missing, of the wrong type or described by
// a lying resource entry, and files that are no library at all. Every lookup
// must give a text from the block, the text of id 198 or the fixed text.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "hostile_inputs.h"
#include "logging/log_file.h"
#include "logging/log_level.h"
#include "logging/log_state.h"
#include "resources/resource_instance.h"
#include "resources/resource_library_loader.h"
#include "resources/string_table.h"
#include "support/plugin_helpers.h"
#include "support/stress_size.h"
#include "support/temp_directory.h"
#include "win/unique_bstr.h"

namespace quorvex::test {
namespace {

const std::wstring kFixed = L"ERROR: cannot load status string for requested status code.";
const std::wstring kUnknown = L"The smart-card component reported a status that has no description.";  // 198
const std::wstring kRecognized = L"The smart card was recognized.";                                    // 197
const std::wstring kWaiting = L"Waiting for a smart card...";                                          // 204
const std::wstring kChecking = L"Checking the smart card...";                                          // 206
const std::wstring kReady = L"The smart card is ready.";                                               // 207
const std::wstring kNoReader = L"No smart-card reader is selected.";                                   // 211

class HostileLibraries : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        HMODULE english = ::LoadLibraryW(BuiltLibrary(L"VestrelRes_en").c_str());
        ASSERT_NE(english, nullptr);
        block13_ = ReadStringBlock(english, 13);
        block14_ = ReadStringBlock(english, 14);
        ASSERT_FALSE(block13_.empty());
        ASSERT_FALSE(block14_.empty());
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(english);
        imageSize_ = reinterpret_cast<const IMAGE_NT_HEADERS*>(reinterpret_cast<const BYTE*>(english) + dos->e_lfanew)
                         ->OptionalHeader.SizeOfImage;
    }

    // GetStatusString with `library` as the module's resource instance.
    std::wstring StatusString(HMODULE library, LONG code)
    {
        const HMODULE previous = ExchangeResourceInstance(library);
        UniqueBstr text;
        LONG returnCode = -1;
        EXPECT_EQ(plugin_->GetStatusString(code, text.put(), &returnCode), S_OK) << code;
        EXPECT_EQ(returnCode, 0) << code;
        ExchangeResourceInstance(previous);
        return std::wstring(text.view());
    }

    std::wstring NextPath(const wchar_t* stem)
    {
        return Wide(directory_.path()) + L"\\" + stem + std::to_wstring(++files_) + L".dll";
    }

    static inline Bytes block13_, block14_;
    static inline DWORD imageSize_ = 0;
    // Made first: its construction may install a library of its own.
    ComPtr<IPkiAuthenticationPlugin> plugin_ = CreatePlugin();
    TempDirectory directory_;
    int files_ = 0;
};

TEST_F(HostileLibraries, DamagedStringBlocksGiveTheirSoundEntriesOrTheFallbacks)
{
    const std::wstring long65535(65535, L'W');
    const Bytes cutByOne(block13_.begin(), block13_.end() - 1);
    const Bytes overlongFirst = {0xFF, 0xFF, 'x', 0, 'y', 0};
    // A bitmap header: its first word (the header size, 40) reads as an entry
    // of 40 units in a block of 20.
    BITMAPINFOHEADER header{sizeof(BITMAPINFOHEADER), 16, 16, 1, 8, BI_RGB, 0, 0, 0, 0, 0};
    const Bytes bitmap(reinterpret_cast<const BYTE*>(&header), reinterpret_cast<const BYTE*>(&header + 1));
    const struct {
        const char* what;
        std::vector<ResourceEdit> edits;
        std::optional<DWORD> size13, address13;  // lies in the entry of block 13
        std::vector<std::pair<LONG, std::wstring>> lookups;
    } cases[] = {
        {"block 13 of its first seven entries",
         {{RT_STRING, 13, StringBlock({L"", L"", L"", L"", L"", kRecognized, kUnknown})}},
         {},
         {},
         {{197, kRecognized}, {198, kUnknown}, {204, kUnknown}, {207, kUnknown}}},
        {"block 13 one byte short", {{RT_STRING, 13, cutByOne}}, {}, {}, {{206, kChecking}, {207, kUnknown}}},
        {"block 13 of no bytes", {{RT_STRING, 13, Bytes()}}, {}, {}, {{204, kFixed}, {198, kFixed}, {211, kNoReader}}},
        {"block 14 whose first entry claims 65535 units",
         {{RT_STRING, 14, overlongFirst}},
         {},
         {},
         {{208, kUnknown}, {211, kUnknown}, {204, kWaiting}}},
        {"block 14 with an entry of 65535 units",
         {{RT_STRING, 14, StringBlock({L"", L"", L"", long65535, L"after"})}},
         {},
         {},
         {{211, long65535}, {212, L"after"}, {210, kUnknown}, {213, kUnknown}}},
        {"block 13 missing", {{RT_STRING, 13, std::nullopt}}, {}, {}, {{204, kFixed}, {198, kFixed}, {211, kNoReader}}},
        {"block 13 stored under another type",
         {{RT_STRING, 13, std::nullopt}, {RT_RCDATA, 13, block13_}},
         {},
         {},
         {{204, kFixed}}},
        {"block 13 holding a bitmap header", {{RT_STRING, 13, bitmap}}, {}, {}, {{192, kFixed}, {204, kFixed}}},
        {"block 13 in another language only",
         {{RT_STRING, 13, std::nullopt}, {RT_STRING, 13, block13_, MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT)}},
         {},
         {},
         {{204, kWaiting}, {198, kUnknown}}},
        // The platform takes a resource entry on trust: its size and address
        // must not lead the lookup out of the library's image.
        {"sound block 13 claiming 2 GB", {}, 0x7FFFFFF0, {}, {{204, kWaiting}, {207, kReady}, {192, kUnknown}}},
        {"block 13 claiming 2 GB, its first entry 65535 units",
         {{RT_STRING, 13, overlongFirst}},
         0x7FFFFFF0,
         {},
         {{192, kFixed}, {193, kFixed}, {204, kFixed}, {211, kNoReader}}},
        {"block 13 placed far past the image", {}, {}, 0x7FFF0000, {{204, kFixed}, {211, kNoReader}}},
        {"block 13 placed at the image's last bytes",
         {},
         0x7FFFFFF0,
         imageSize_ - 2,
         {{204, kFixed}, {211, kNoReader}}},
    };
    for (const auto& c : cases) {
        const std::wstring path = NextPath(L"damaged");
        ASSERT_TRUE(WriteLibraryCopy(L"VestrelRes_en", path, c.edits)) << c.what;
        if (c.size13 || c.address13) {
            ASSERT_TRUE(PatchStringBlockEntry(path, 13, c.size13, c.address13)) << c.what;
        }
        // Mapped as data, as the loader maps it.
        const UniqueModule library = LoadResourceLibraryFile(path.c_str());
        ASSERT_TRUE(library) << c.what << ", error " << ::GetLastError();
        for (const auto& [code, expected] : c.lookups) {
            const std::wstring text = StatusString(library.get(), code);
            EXPECT_EQ(text.size(), expected.size()) << c.what << ", status " << code;
            EXPECT_TRUE(text == expected) << c.what << ", status " << code;
        }
    }
    std::printf("[ cases    ] %zu damaged libraries\n", std::size(cases));
}

// Files under the English library's name that are no library, or one without
// a string table: the loader reports what it found and every lookup ends in
// the fixed text.
TEST_F(HostileLibraries, FilesThatAreNoLibraryAreRefusedAndOneWithoutStringsGivesTheFixedText)
{
    wchar_t language[3] = {};
    if (::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SISO639LANGNAME, language, 3) == 0) {
        GTEST_SKIP() << "the user locale's language name has three letters: nothing is loaded at all";
    }
    const std::wstring samplePath = BuiltLibrary(L"VestrelRes_en");
    const std::string sample = ReadFileBytes(std::string(samplePath.begin(), samplePath.end()));
    ASSERT_GT(sample.size(), 1024u);
    const struct {
        const char* what;
        std::string bytes;  // empty with noResources: a copy without resources
        bool noResources;
    } cases[] = {
        {"text file", "This is not a library.\r\n", false},
        {"empty file", "", false},
        {"header only", sample.substr(0, 1024), false},
        {"library with its sections cut off", sample.substr(0, sample.size() / 2), false},
        {"library without resources", "", true},
    };
    ResetLogStateForTests();
    const std::string logPath = directory_.Child("loader.txt");
    ASSERT_TRUE(OpenLog(logPath.c_str(), 3));
    // The loader looks in the program's folder: the files go there, under
    // names of this process, and leave with the test.
    wchar_t program[MAX_PATH] = {};
    const std::wstring programPath(program, ::GetModuleFileNameW(nullptr, program, MAX_PATH));
    const std::string programFolder(programPath.begin(), programPath.begin() + programPath.rfind(L'\\'));
    std::vector<std::string> written;
    const AtScopeEnd restore([&written] {
        for (const std::string& file : written) ::DeleteFileA(file.c_str());
        ResetLogStateForTests();
    });
    for (const auto& c : cases) {
        const std::string base = "QvHostile" + std::to_string(::GetCurrentProcessId()) + "x" +
                                 std::to_string(&c - cases);
        const std::string name = base + "_en.dll";
        written.push_back(programFolder + "\\" + name);
        if (c.noResources) {
            ASSERT_TRUE(WriteLibraryCopy(L"VestrelRes_en", Wide(written.back()), {}, true)) << c.what;
        } else {
            ASSERT_TRUE(WriteFileBytes(written.back(), c.bytes)) << c.what;
        }
        const long long logBefore = FileSize(logPath);
        UniqueModule library = LoadResourceLibrary(Wide(base).c_str());
        std::string last = ReadFileBytes(logPath, logBefore);  // the loader's last record
        while (!last.empty() && (last.back() == '\n' || last.back() == '\r')) last.pop_back();
        last.erase(0, last.rfind('\n') + 1);
        if (c.noResources) {
            ASSERT_TRUE(library) << c.what;
            EXPECT_NE(last.find("found resource DLL: " + name), std::string::npos) << c.what << ": " << last;
            EXPECT_EQ(StatusString(library.get(), 204), kFixed) << c.what;
            EXPECT_EQ(StatusString(library.get(), 198), kFixed) << c.what;
        } else {
            EXPECT_FALSE(library) << c.what;
            EXPECT_NE(last.find("*** English resource DLL not found: " + name + ", return NULL"), std::string::npos)
                << c.what << ": " << last;
        }
    }
}

// A view the walk hands out must lie inside the block, right behind a length
// word that names its size.
void ExpectInside(const void* block, size_t size, std::optional<std::wstring_view> text, const std::string& what)
{
    if (!text) return;
    const auto* first = static_cast<const BYTE*>(block);
    const auto* begin = reinterpret_cast<const BYTE*>(text->data());
    const auto* end = reinterpret_cast<const BYTE*>(text->data() + text->size());
    ASSERT_TRUE(begin >= first + 2 && end <= first + size && (begin - first) % 2 == 0) << what;
    WORD length = 0;
    std::memcpy(&length, begin - 2, sizeof length);
    ASSERT_EQ(length, text->size()) << what;
}

// Mutated blocks laid flush against an unreadable page: a walk that reads
// one byte too far ends the program.
TEST_F(HostileLibraries, SeededMutationsOfBlocksInMemoryNeverReadPastTheBlock)
{
    const std::uint32_t seed = StressSeed(0x57AB1E09u);
    const size_t count = StressCount(50000, 5000000);
    const StressBudget budget(std::chrono::seconds(10), std::chrono::seconds(1200));
    Dice dice(seed);
    GuardedBytes memory;
    size_t done = 0, found = 0;
    for (; done < count && !budget.Expired() && !HasFailure(); ++done) {
        Bytes block = dice.OneIn(2) ? block13_ : block14_;
        if (dice.OneIn(8)) block.resize(dice.Below(64));
        if (dice.OneIn(8)) std::generate(block.begin(), block.end(), [&] { return dice.Byte(); });
        Mutate(block, dice);
        const void* placed = memory.Place(block);
        for (unsigned entry = 0; entry < 16; ++entry) {
            const auto text = StringTableEntry(placed, block.size(), entry);
            found += text.has_value();
            ExpectInside(placed, block.size(), text, "seed " + std::to_string(seed) + " case " + std::to_string(done));
        }
    }
    std::printf("[ stress   ] seed %u: %zu mutated blocks in memory, %zu entries found\n", seed, done, found);
    RecordProperty("cases", static_cast<int>(done));
}

// Libraries of 16 mutated blocks each, now and then with a lying resource
// entry: every status of every block gets an answer, and a text found in a
// truthful block is one of its entries.
TEST_F(HostileLibraries, SeededMutationsOfLibraryBlocks)
{
    const std::uint32_t seed = StressSeed(0x11B0AD09u);
    const size_t count = StressCount(100, 10000);
    const StressBudget budget(std::chrono::seconds(10), std::chrono::seconds(1200));
    Dice dice(seed);
    size_t done = 0, lookups = 0, own = 0;
    for (; done < count && !budget.Expired() && !HasFailure(); ++done) {
        std::vector<ResourceEdit> edits;
        std::vector<Bytes> blocks(17);
        for (WORD block = 1; block <= 16; ++block) {
            blocks[block] = dice.OneIn(2) ? block13_ : block14_;
            Mutate(blocks[block], dice);
            edits.push_back({RT_STRING, block, blocks[block]});
        }
        // A lying size lets a long entry lead the walk far away: give the
        // lying block one at its start now and then.
        const WORD lying = dice.OneIn(3) ? static_cast<WORD>(1 + dice.Below(16)) : 0;
        if (lying && dice.OneIn(2)) {
            if (blocks[lying].size() < 2) blocks[lying].resize(2);
            blocks[lying][0] = dice.Byte();
            blocks[lying][1] = static_cast<BYTE>(0x80 | dice.Byte());
            edits[lying - 1].data = blocks[lying];
        }
        const std::wstring path = NextPath(L"fuzz");
        ASSERT_TRUE(WriteLibraryCopy(L"VestrelRes_en", path, edits));
        if (lying) {
            const DWORD claimed = static_cast<DWORD>(0x10000 + dice.Below(0x7FFF0000));
            ASSERT_TRUE(PatchStringBlockEntry(path, lying, claimed, std::nullopt));
        }
        UniqueModule library = LoadResourceLibraryFile(path.c_str());
        ASSERT_TRUE(library) << "seed " << seed << " case " << done;
        const std::optional<std::wstring> unknown = LoadModuleString(library.get(), 198);
        for (UINT id = 0; id < 16 * 16; ++id) {
            const std::string what = "seed " + std::to_string(seed) + " case " + std::to_string(done) + " id " +
                                     std::to_string(id);
            const std::optional<std::wstring> text = LoadModuleString(library.get(), id);
            const std::wstring status = StatusString(library.get(), static_cast<LONG>(id | 0x2000));
            ASSERT_EQ(status, text ? *text : unknown ? *unknown : kFixed) << what;
            ++lookups;
            const Bytes& block = blocks[id / 16 + 1];
            if (!text || id / 16 + 1 == lying) continue;
            // The text's units, behind their length, somewhere in the block.
            Bytes units = StringBlock({*text});
            ASSERT_NE(std::search(block.begin(), block.end(), units.begin(), units.end()), block.end()) << what;
            ++own;
        }
        library.reset();
        ::DeleteFileW(path.c_str());
    }
    std::printf("[ stress   ] seed %u: %zu libraries, %zu lookups, %zu texts found in their blocks\n", seed, done,
                lookups, own);
    RecordProperty("cases", static_cast<int>(done));
}

}  // namespace
}  // namespace quorvex::test
