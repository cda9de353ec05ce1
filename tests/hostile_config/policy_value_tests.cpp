// Hostile contents in the policy values the log configuration reads: wrong
// types, cut and unterminated strings, empty and oversized data, broken
// keywords, numbers out of range. Every one must end in the default, a stream
// of none whose first record opens the fallback file, or standard output.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>

#include "hostile_inputs.h"
#include "logging/log.h"
#include "logging/log_config.h"
#include "logging/log_file.h"
#include "logging/log_level.h"
#include "logging/log_state.h"
#include "support/policy_key_editor.h"
#include "support/stress_size.h"
#include "support/temp_directory.h"
#include "win/unique_hkey.h"

namespace quorvex::test {
namespace {

const std::string kUnknownFile = "C:\\ProgramData\\Tavrix\\Vestrel\\Unknown.txt";
const std::wstring kDefault = L"(default)";
constexpr DWORD kDefaultNumber = 0xD5;

std::string Narrow(std::wstring_view text) { return std::string(text.begin(), text.end()); }  // ASCII only

Bytes Raw(std::initializer_list<BYTE> bytes) { return Bytes(bytes); }

// The size of the file the log opened: its path converted back with the
// system code page, as the runtime does, so that characters beyond ASCII and
// lengths beyond MAX_PATH name the same file.
long long CodePageFileSize(const std::string& path)
{
    std::wstring wide(path.size(), L'\0');
    wide.resize(static_cast<size_t>(::MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()),
                                                          wide.data(), static_cast<int>(wide.size()))));
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) return -1;
    return static_cast<long long>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

// `length` characters of a path that goes one directory deeper every two.
std::wstring DeepPath(const std::string& root, size_t length)
{
    std::wstring path = Wide(root);
    while (path.size() + 2 <= length) path += L"\\a";
    return path;
}

class HostilePolicy : public ::testing::Test {
protected:
    void SetUp() override { ResetLogStateForTests(); }
    void TearDown() override { ResetLogStateForTests(); }

    UniqueHkey OpenKey()
    {
        UniqueHkey key;
        EXPECT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKeyPath, 0, KEY_READ, key.put()), ERROR_SUCCESS);
        return key;
    }

    // The module's configuration with this test's default file.
    void Configure(int requestedLevel = 0)
    {
        ResetLogStateForTests();
        ConfigureLogModule(DefaultPath().c_str(), "Main", requestedLevel);
    }
    std::string DefaultPath() const { return directory_.Child("default.txt"); }

    PolicyKeyEditor policy_;
    TempDirectory directory_;
};

TEST_F(HostilePolicy, ReadersTakeOnlyWellFormedDataOfTheirOwnType)
{
    const std::wstring long65535(65535, L'L');
    const std::wstring ninetyNine(99, L'n');  // with its null: exactly the first query's room
    const struct {
        const char* what;
        DWORD type;
        Bytes data;
        std::wstring text;  // ReadPolicyString
        DWORD number;       // ReadPolicyDword
    } cases[] = {
        {"text", REG_SZ, Utf16(L"C:\\q.txt"), L"C:\\q.txt", kDefaultNumber},
        {"expandable text, not expanded", REG_EXPAND_SZ, Utf16(L"%TEMP%\\q"), L"%TEMP%\\q", kDefaultNumber},
        {"multi-string", REG_MULTI_SZ, Utf16(std::wstring(L"a\0b\0", 4)), kDefault, kDefaultNumber},
        {"binary text", REG_BINARY, Utf16(L"C:\\q.txt"), kDefault, kDefaultNumber},
        {"binary number", REG_BINARY, DwordBytes(2), kDefault, kDefaultNumber},
        {"untyped text", REG_NONE, Utf16(L"C:\\q.txt"), kDefault, kDefaultNumber},
        {"untyped number", REG_NONE, DwordBytes(2), kDefault, kDefaultNumber},
        {"quad number", REG_QWORD, Raw({2, 0, 0, 0, 0, 0, 0, 0}), kDefault, kDefaultNumber},
        {"big-endian number", REG_DWORD_BIG_ENDIAN, Raw({0, 0, 0, 2}), kDefault, kDefaultNumber},
        {"number", REG_DWORD, DwordBytes(2), kDefault, 2},
        {"number -1", REG_DWORD, DwordBytes(0xFFFFFFFF), kDefault, 0xFFFFFFFF},
        {"number 2^31", REG_DWORD, DwordBytes(0x80000000), kDefault, 0x80000000},
        // A number needs all its four bytes.
        {"number of 0 bytes", REG_DWORD, Bytes(), kDefault, kDefaultNumber},
        {"number of 1 byte", REG_DWORD, Raw({3}), kDefault, kDefaultNumber},
        {"number of 2 bytes", REG_DWORD, Raw({3, 0}), kDefault, kDefaultNumber},
        {"number of 3 bytes", REG_DWORD, Raw({3, 0, 0}), kDefault, kDefaultNumber},
        {"number of 8 bytes", REG_DWORD, Raw({3, 0, 0, 0, 0, 0, 0, 0}), kDefault, kDefaultNumber},
        {"text of 0 bytes", REG_SZ, Bytes(), L"", kDefaultNumber},
        {"expandable text of 0 bytes", REG_EXPAND_SZ, Bytes(), L"", kDefaultNumber},
        {"terminator only", REG_SZ, Raw({0, 0}), L"", kDefaultNumber},
        {"text of 1 byte", REG_SZ, Raw({'a'}), kDefault, kDefaultNumber},
        {"null byte alone", REG_SZ, Raw({0}), kDefault, kDefaultNumber},
        {"text of 3 bytes", REG_SZ, Raw({'a', 0, 0}), kDefault, kDefaultNumber},
        {"text of 5 bytes", REG_EXPAND_SZ, Raw({'a', 0, 'b', 0, 0}), kDefault, kDefaultNumber},
        {"unterminated text", REG_SZ, Utf16(L"abc", false), kDefault, kDefaultNumber},
        {"unterminated long text", REG_SZ, Utf16(long65535, false), kDefault, kDefaultNumber},
        {"text of 65535 characters", REG_SZ, Utf16(long65535), long65535, kDefaultNumber},
        {"text filling the first query", REG_SZ, Utf16(ninetyNine), ninetyNine, kDefaultNumber},
        {"unterminated text filling the first query", REG_SZ, Utf16(ninetyNine + L"n", false), kDefault,
         kDefaultNumber},
        // The text ends at its first null, as everywhere else a string is read.
        {"text after a null", REG_SZ, Utf16(std::wstring(L"\0junk", 5)), L"", kDefaultNumber},
        {"text with a null inside", REG_SZ, Utf16(std::wstring(L"C:\\q.txt\0junk", 13)), L"C:\\q.txt", kDefaultNumber},
    };
    for (const auto& c : cases) {
        policy_.DeleteKey();
        SetPolicyBytes(L"Value", c.type, c.data);
        UniqueHkey key = OpenKey();
        EXPECT_EQ(ReadPolicyString(key.get(), L"Value", kDefault), c.text) << c.what;
        EXPECT_EQ(ReadPolicyDword(key.get(), L"Value", kDefaultNumber), c.number) << c.what;
    }
    std::printf("[ cases    ] %zu hostile values, each through both readers\n", std::size(cases));
}

TEST_F(HostilePolicy, AnyLogFileValueEndsInAStreamOrInAFallbackThatCatchesTheFirstRecord)
{
    enum Outcome { DefaultFile, ConfiguredFile, NoStream, StandardOutput };
    const std::string configured = directory_.Child("configured.txt");
    const struct {
        const char* what;
        DWORD type;
        Bytes data;
        Outcome outcome;
        std::string resolved = {};  // for a configured file
    } cases[] = {
        {"number", REG_DWORD, DwordBytes(1), DefaultFile},
        {"binary path", REG_BINARY, Utf16(Wide(configured)), DefaultFile},
        {"multi-string path", REG_MULTI_SZ, Utf16(Wide(configured) + L'\0'), DefaultFile},
        {"untyped path", REG_NONE, Utf16(Wide(configured)), DefaultFile},
        {"quad", REG_QWORD, Raw({1, 0, 0, 0, 0, 0, 0, 0}), DefaultFile},
        {"path of 1 byte", REG_SZ, Raw({'C'}), DefaultFile},
        {"path with an odd byte count", REG_SZ,
         [&] {
             Bytes b = Utf16(Wide(configured));
             b.pop_back();
             return b;
         }(),
         DefaultFile},
        {"unterminated path", REG_SZ, Utf16(Wide(configured), false), DefaultFile},
        {"path of 0 bytes", REG_SZ, Bytes(), DefaultFile},
        {"path behind a null", REG_SZ, Utf16(L'\0' + Wide(configured)), DefaultFile},
        {"path with junk behind a null", REG_SZ, Utf16(Wide(configured) + L'\0' + L"junk"), ConfiguredFile, configured},
        {"expandable path", REG_EXPAND_SZ, Utf16(Wide(configured)), ConfiguredFile, configured},
        {"environment variable", REG_EXPAND_SZ, Utf16(L"%TEMP%\\q.txt"), NoStream},
        {"keyword alone", REG_SZ, Utf16(L"%TAVRIXLOGDIR"), NoStream},  // names the log directory
        {"keyword and backslash", REG_SZ, Utf16(L"%TAVRIXLOGDIR\\"), NoStream},
        {"percent sign alone", REG_SZ, Utf16(L"%"), NoStream},
        {"two percent signs", REG_SZ, Utf16(L"%%"), NoStream},
        {"keyword in lower case", REG_SZ, Utf16(L"%tavrixlogdir\\q.txt"), NoStream},
        {"keyword run on", REG_SZ, Utf16(L"%TAVRIXLOGDIR_X\\q.txt"), NoStream},
        {"standard output", REG_SZ, Utf16(L"<stdout>"), StandardOutput},
        {"standard output, upper case", REG_EXPAND_SZ, Utf16(L"<STDOUT>"), StandardOutput},
        {"a directory", REG_SZ, Utf16(Wide(directory_.path())), NoStream},
        {"a name of 32000 characters", REG_SZ, Utf16(Wide(directory_.Child(std::string(32000, 'n')))), NoStream},
        {"16000 directories", REG_SZ, Utf16(DeepPath(directory_.path(), 32000)), NoStream},
        {"32767 directories", REG_SZ, Utf16(DeepPath(directory_.path(), 65535)), NoStream},
        {"a character without a code page form", REG_SZ, Utf16(Wide(directory_.path()) + L"\\\xD800.txt"), NoStream},
    };
    for (const auto& c : cases) {
        policy_.DeleteKey();
        SetPolicyBytes(L"MainLogFile", c.type, c.data);
        Configure();
        switch (c.outcome) {
        case DefaultFile:
        case ConfiguredFile:
            EXPECT_EQ(CurrentLogStream(), LogStream::File) << c.what;
            EXPECT_EQ(ResolvedLogPath(), c.outcome == DefaultFile ? DefaultPath() : c.resolved) << c.what;
            break;
        case StandardOutput:
            EXPECT_EQ(CurrentLogStream(), LogStream::StandardOutput) << c.what;
            EXPECT_EQ(CurrentLogLevel(), 0) << c.what << ": no level of its own switches records off";
            continue;
        case NoStream:
            EXPECT_EQ(CurrentLogStream(), LogStream::None) << c.what;
            EXPECT_EQ(CurrentLogLevel(), 1) << c.what;
            break;
        }
        // Nothing is lost: the first record finds the configured file or
        // opens the fallback.
        const std::string configuredPath = ResolvedLogPath();
        EXPECT_TRUE(LogPlain("*** hostile MainLogFile: %s", c.what)) << c.what;
        EXPECT_EQ(CurrentLogStream(), LogStream::File) << c.what;
        EXPECT_EQ(ResolvedLogPath(), c.outcome == NoStream ? kUnknownFile : configuredPath) << c.what;
    }
    std::printf("[ cases    ] %zu hostile MainLogFile values\n", std::size(cases));
}

TEST_F(HostilePolicy, LevelValuesOutsideZeroToFourOrNotWholeNumbersChangeNothing)
{
    const struct {
        const wchar_t* name;
        DWORD type;
        Bytes data;
        int level;
    } cases[] = {
        {L"MainLogLevel", REG_DWORD, DwordBytes(3), 3},
        {L"MainLogLevel", REG_DWORD, DwordBytes(4), 4},
        {L"MainLogLevel", REG_DWORD, DwordBytes(5), 1},
        {L"MainLogLevel", REG_DWORD, DwordBytes(0xFFFFFFFF), 1},
        {L"MainLogLevel", REG_DWORD, DwordBytes(0x80000000), 1},
        {L"MainLogLevel", REG_DWORD, DwordBytes(0x80000003), 1},
        {L"MainLogLevel", REG_DWORD, Raw({3}), 1},
        {L"MainLogLevel", REG_DWORD, Raw({3, 0, 0}), 1},
        {L"MainLogLevel", REG_DWORD, Raw({3, 0, 0, 0, 0, 0, 0, 0}), 1},
        {L"MainLogLevel", REG_DWORD_BIG_ENDIAN, Raw({0, 0, 0, 3}), 1},
        {L"MainLogLevel", REG_QWORD, Raw({3, 0, 0, 0, 0, 0, 0, 0}), 1},
        {L"MainLogLevel", REG_SZ, Utf16(L"3"), 1},
        {L"MainLogLevel", REG_BINARY, DwordBytes(3), 1},
        {L"MainLogLevel", REG_NONE, DwordBytes(3), 1},
        {L"DefaultLogLevel", REG_DWORD, DwordBytes(2), 2},
        {L"DefaultLogLevel", REG_DWORD, DwordBytes(0), 0},
        {L"DefaultLogLevel", REG_DWORD, DwordBytes(0xFFFFFFFF), 1},  // the reader's own default
        {L"DefaultLogLevel", REG_DWORD, DwordBytes(0xFFFFFFFE), 1},
        {L"DefaultLogLevel", REG_DWORD, DwordBytes(5), 1},
        // No data must not read as level 0, which would switch records off.
        {L"DefaultLogLevel", REG_DWORD, Bytes(), 1},
        {L"DefaultLogLevel", REG_DWORD, Raw({2}), 1},
        {L"DefaultLogLevel", REG_DWORD, Raw({2, 0}), 1},
        {L"DefaultLogLevel", REG_EXPAND_SZ, Utf16(L"2"), 1},
        {L"DefaultLogLevel", REG_QWORD, Raw({2, 0, 0, 0, 0, 0, 0, 0}), 1},
        {L"DefaultLogLevel", REG_MULTI_SZ, Utf16(std::wstring(L"2\0", 2)), 1},
    };
    for (const auto& c : cases) {
        policy_.DeleteKey();
        SetPolicyBytes(c.name, c.type, c.data);
        Configure();
        const std::string what = Narrow(c.name) + " case " + std::to_string(&c - cases);
        EXPECT_EQ(CurrentLogStream(), LogStream::File) << what;
        EXPECT_EQ(CurrentLogLevel(), c.level) << what;
    }
    std::printf("[ cases    ] %zu hostile level values\n", std::size(cases));
}

// The real module: its static configuration runs while it loads, and a
// hostile policy must not keep it from loading.
TEST_F(HostilePolicy, TheModuleLoadsWithEveryValueHostileAtOnce)
{
    wchar_t program[MAX_PATH] = {};
    const std::wstring path(program, ::GetModuleFileNameW(nullptr, program, MAX_PATH));
    const std::wstring module = path.substr(0, path.rfind(L'\\')) + L"\\Quorvex.dll";
    const Bytes logFiles[] = {Utf16(DeepPath(directory_.path(), 65535)), Utf16(L"%"), Raw({'a', 0, 'b'})};
    for (const Bytes& logFile : logFiles) {
        policy_.DeleteKey();
        SetPolicyBytes(L"MainLogFile", REG_SZ, logFile);
        SetPolicyBytes(L"MainLogLevel", REG_DWORD, Raw({3}));
        SetPolicyBytes(L"DefaultLogLevel", REG_DWORD, Bytes());
        HMODULE loaded = ::LoadLibraryW(module.c_str());
        EXPECT_NE(loaded, nullptr) << "case " << &logFile - logFiles << ", error " << ::GetLastError();
        if (loaded) ::FreeLibrary(loaded);
    }
}

// What a value of this type and these bytes reads as: the readers' rules,
// stated once more for the seeded suite.
std::wstring ExpectedText(DWORD type, const Bytes& data, const std::wstring& fallback)
{
    if (type != REG_SZ && type != REG_EXPAND_SZ) return fallback;
    if (data.empty()) return L"";
    if (data.size() % 2 != 0 || data[data.size() - 1] != 0 || data[data.size() - 2] != 0) return fallback;
    std::wstring text(data.size() / 2 - 1, L'\0');
    std::memcpy(text.data(), data.data(), text.size() * 2);
    return text.substr(0, text.find(L'\0'));
}

DWORD ExpectedNumber(DWORD type, const Bytes& data, DWORD fallback)
{
    DWORD number = fallback;
    if (type == REG_DWORD && data.size() == sizeof number) std::memcpy(&number, data.data(), sizeof number);
    return number;
}

// Mutated text that stays a name inside the current folder (or below the
// given one): no drive, no root, no way up.
Bytes ConfinedText(const std::wstring& folder, const std::wstring& seed, Dice& dice)
{
    Bytes tail = Utf16(seed, !dice.OneIn(4));
    if (dice.OneIn(2)) Mutate(tail, dice);
    for (size_t at = 0; at + 1 < tail.size(); at += 2) {
        wchar_t& unit = *reinterpret_cast<wchar_t*>(tail.data() + at);
        const bool first = at == 0 && folder.empty();
        const bool dotAfterDot = unit == L'.' && at >= 2 && tail[at - 2] == '.' && tail[at - 1] == 0;
        if (unit == L':' || unit == L'/' || dotAfterDot || (first && unit == L'\\')) unit = L'_';
    }
    Bytes value = Utf16(folder, false);
    value.insert(value.end(), tail.begin(), tail.end());
    return value;
}

// Random types and bytes in all three values, then the configuration and a
// record: the readers keep their rules, the level stays within 0 to 4 and
// follows the precedence, and a stream that is set takes the record.
TEST_F(HostilePolicy, SeededMutationsOfAllThreeValues)
{
    const std::uint32_t seed = StressSeed(0x09C0F16u);
    const size_t count = StressCount(2000, 200000);
    const StressBudget budget(std::chrono::seconds(10), std::chrono::seconds(1200));
    Dice dice(seed);
    // Relative names land in the test's folder, which can go away at the end
    // only when it is no longer the current one.
    char previous[MAX_PATH] = {};
    ::GetCurrentDirectoryA(MAX_PATH, previous);
    ASSERT_TRUE(::SetCurrentDirectoryA(directory_.path().c_str()));
    const AtScopeEnd restore([&] {
        ResetLogStateForTests();
        ::SetCurrentDirectoryA(previous);
    });

    const std::wstring folder = Wide(directory_.path()) + L"\\";
    const std::wstring tails[] = {L"f.txt", L"d\\e\\f.txt", std::wstring(300, L'x'), L"", L"d\\"};
    const std::wstring wholes[] = {L"<stdout>",      L"<STDOUT>", L"%",    L"%TAVRIXLOG\\f.txt",
                                   L"%TEMP%\\f.txt", L"",         L"f.txt"};
    const DWORD textTypes[] = {REG_SZ, REG_SZ, REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_BINARY, REG_NONE, REG_DWORD};
    const DWORD numberTypes[] = {REG_DWORD, REG_DWORD, REG_DWORD,  REG_DWORD_BIG_ENDIAN,
                                 REG_QWORD, REG_SZ,    REG_BINARY, REG_NONE};
    const DWORD numbers[] = {0, 1, 2, 3, 4, 5, 0xFFFFFFFF, 0x80000000, 0xFFFFFFFE};
    size_t done = 0, files = 0, none = 0, standardOutput = 0;
    for (; done < count && !budget.Expired() && !HasFailure(); ++done) {
        policy_.DeleteKey();
        struct Value {
            const wchar_t* name;
            DWORD type = REG_NONE;
            Bytes data = {};
            bool present = false;
        } file{L"MainLogFile"}, mainLevel{L"MainLogLevel"}, defaultLevel{L"DefaultLogLevel"};
        if (!dice.OneIn(5)) {
            file.present = true;
            file.type = dice.Pick(textTypes);
            file.data = dice.OneIn(3) ? ConfinedText(L"", dice.Pick(wholes), dice)
                                      : ConfinedText(folder, dice.Pick(tails), dice);
        }
        for (Value* number : {&mainLevel, &defaultLevel}) {
            if (dice.OneIn(4)) continue;
            number->present = true;
            number->type = dice.Pick(numberTypes);
            const bool any = dice.OneIn(4);
            number->data = DwordBytes(any ? dice.AnyDword() : dice.Pick(numbers));
            if (dice.OneIn(4)) number->data.resize(dice.Below(9));
            if (dice.OneIn(4)) Mutate(number->data, dice);
        }
        SetPolicyBytes(L"Unrelated", REG_SZ, Utf16(L"x"));  // the key, even without the three
        for (const Value* value : {&file, &mainLevel, &defaultLevel}) {
            if (value->present) SetPolicyBytes(value->name, value->type, value->data);
        }
        const std::string what = "seed " + std::to_string(seed) + " case " + std::to_string(done);

        UniqueHkey key = OpenKey();
        const std::wstring text = file.present ? ExpectedText(file.type, file.data, L"") : L"";
        ASSERT_EQ(ReadPolicyString(key.get(), L"MainLogFile", kDefault),
                  file.present ? ExpectedText(file.type, file.data, kDefault) : kDefault)
            << what;
        const DWORD main = mainLevel.present ? ExpectedNumber(mainLevel.type, mainLevel.data, 0) : 0;
        const DWORD fallback = defaultLevel.present ? ExpectedNumber(defaultLevel.type, defaultLevel.data, 0xFFFFFFFF)
                                                    : 0xFFFFFFFF;
        ASSERT_EQ(ReadPolicyDword(key.get(), L"MainLogLevel", 0), main) << what;
        ASSERT_EQ(ReadPolicyDword(key.get(), L"DefaultLogLevel", 0xFFFFFFFF), fallback) << what;
        key.reset();

        const int requested = static_cast<int>(dice.Below(5));
        Configure(requested);
        const int chosen = main <= 4 ? static_cast<int>(main) : requested;
        switch (CurrentLogStream()) {
        case LogStream::StandardOutput:
            ++standardOutput;
            ASSERT_EQ(_wcsicmp(text.c_str(), L"<stdout>"), 0) << what;
            ASSERT_EQ(CurrentLogLevel(), chosen) << what;
            break;
        case LogStream::None:
            ++none;
            ASSERT_EQ(CurrentLogLevel(), 1) << what << ": a log that did not open leaves the level alone";
            break;
        case LogStream::File: {
            ++files;
            const std::string resolved = ResolvedLogPath();
            const bool ascii = std::all_of(text.begin(), text.end(), [](wchar_t c) { return c > 0 && c < 0x80; });
            const bool plainPath = !text.empty() && ascii && text[0] != L'%';
            if (text.empty() || plainPath) {
                ASSERT_EQ(resolved, text.empty() ? DefaultPath() : Narrow(text)) << what;
            }
            ASSERT_EQ(CurrentLogLevel(), chosen != 0 ? chosen : fallback <= 4 ? static_cast<int>(fallback) : 1) << what;
            const long long before = CodePageFileSize(resolved);
            ASSERT_TRUE(LogPlain("probe %u", static_cast<unsigned>(done))) << what;
            ASSERT_GT(CodePageFileSize(resolved), before) << what << ": the record for " << resolved << " was lost";
            break;
        }
        }
    }
    std::printf("[ stress   ] seed %u: %zu policy cases (%zu files, %zu without a stream, %zu standard output)\n", seed,
                done, files, none, standardOutput);
    RecordProperty("cases", static_cast<int>(done));
    RecordProperty("seed", static_cast<int>(seed));
}

}  // namespace
}  // namespace quorvex::test
