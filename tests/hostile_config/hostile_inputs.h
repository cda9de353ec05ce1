// Makers of hostile input for the policy key and the resource libraries:
// registry values with exactly the bytes given, copies of a built sample
// library with rewritten string blocks or a lying resource entry, and memory
// that faults one byte past a block.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvex::test {

using Bytes = std::vector<BYTE>;

// Widened ASCII text (paths of the test folders).
inline std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Full path of a library of the build's resource_libraries folder
// (L"VestrelRes_en" -> "...\resource_libraries\VestrelRes_en.dll").
std::wstring BuiltLibrary(const wchar_t* name);

// UTF-16 code units as bytes, with or without the terminating null.
Bytes Utf16(std::wstring_view text, bool terminated = true);
Bytes DwordBytes(DWORD value);

// Stores exactly `data` under the policy key (created when missing). The
// registry's own setter adds a terminator it thinks a string forgot, so the
// bytes go through the native call, which takes them as they are.
void SetPolicyBytes(const wchar_t* name, DWORD type, const Bytes& data);

// A string-table block made of these entries (length prefix and text each);
// fewer than 16 make a block that ends early.
Bytes StringBlock(const std::vector<std::wstring>& entries);

// Block `block` of a built library, or nothing when it has none.
Bytes ReadStringBlock(HMODULE library, WORD block);

// The language of the sample libraries' blocks (English, United States).
inline constexpr WORD kSampleLanguage = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

// One change to a library copy: `data` replaces (or adds) the resource, no
// data deletes it. Empty data is allowed for RT_STRING blocks only.
struct ResourceEdit {
    const wchar_t* type;
    WORD name;
    std::optional<Bytes> data;
    WORD language = kSampleLanguage;
};

// Copies the built library `sample` (e.g. L"VestrelRes_en") to `target` and
// applies the edits; `dropAll` starts from no resources at all.
bool WriteLibraryCopy(const wchar_t* sample, const std::wstring& target, const std::vector<ResourceEdit>& edits,
                      bool dropAll = false);

// Rewrites the resource data entry of RT_STRING block `block` in the file: a
// size and an address (RVA) the platform takes on trust.
bool PatchStringBlockEntry(const std::wstring& file, WORD block, std::optional<DWORD> size,
                           std::optional<DWORD> address);

// Bytes laid flush against a page that cannot be read: reading one byte past
// them ends the test program.
class GuardedBytes {
public:
    GuardedBytes();
    ~GuardedBytes();
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    // At most one page; returns where the copy starts.
    const void* Place(const Bytes& bytes);

private:
    BYTE* pages_ = nullptr;
};

// Runs `undo` when the scope ends, however it ends (a failed assertion
// returns early).
template <typename Undo>
class AtScopeEnd {
public:
    explicit AtScopeEnd(Undo undo) : undo_(std::move(undo)) {}
    ~AtScopeEnd() { undo_(); }
    AtScopeEnd(const AtScopeEnd&) = delete;
    AtScopeEnd& operator=(const AtScopeEnd&) = delete;

private:
    Undo undo_;
};

// Random choices for the seeded suites.
class Dice {
public:
    explicit Dice(std::uint32_t seed) : engine_(seed) {}
    // 0 .. bound-1
    std::size_t Below(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(engine_); }
    bool OneIn(std::size_t n) { return Below(n) == 0; }
    // Any 32-bit value: Below() cannot say 2^32 where size_t has 32 bits.
    DWORD AnyDword() { return std::uniform_int_distribution<DWORD>()(engine_); }
    BYTE Byte() { return static_cast<BYTE>(Below(256)); }
    template <typename T, std::size_t N>
    const T& Pick(const T (&items)[N])
    {
        return items[Below(N)];
    }

private:
    std::mt19937 engine_;
};

// Flips, overwrites, cuts or extends `bytes` a few times; the length words
// of string blocks get the values most likely to break a walk.
void Mutate(Bytes& bytes, Dice& dice);

}  // namespace quorvex::test
