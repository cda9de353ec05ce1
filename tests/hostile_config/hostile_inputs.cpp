#include "hostile_inputs.h"

#include <winternl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <tuple>

#include "logging/log_config.h"
#include "win/unique_hkey.h"

namespace quorvex::test {

Bytes Utf16(std::wstring_view text, bool terminated)
{
    Bytes bytes(reinterpret_cast<const BYTE*>(text.data()), reinterpret_cast<const BYTE*>(text.data() + text.size()));
    if (terminated) bytes.insert(bytes.end(), 2, 0);
    return bytes;
}

Bytes DwordBytes(DWORD value)
{
    const auto* first = reinterpret_cast<const BYTE*>(&value);
    return Bytes(first, first + sizeof value);
}

void SetPolicyBytes(const wchar_t* name, DWORD type, const Bytes& data)
{
    using NtSetValueKeyFunction = LONG(NTAPI*)(HANDLE, UNICODE_STRING*, ULONG, ULONG, const void*, ULONG);
    static const auto setValue = reinterpret_cast<NtSetValueKeyFunction>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtSetValueKey")));
    ASSERT_NE(setValue, nullptr);
    UniqueHkey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPolicyKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                                nullptr),
              ERROR_SUCCESS);
    UNICODE_STRING valueName{};
    valueName.Buffer = const_cast<wchar_t*>(name);
    valueName.Length = valueName.MaximumLength = static_cast<USHORT>(std::wcslen(name) * sizeof(wchar_t));
    ASSERT_EQ(
        setValue(key.get(), &valueName, 0, type, data.empty() ? nullptr : data.data(), static_cast<ULONG>(data.size())),
        0)
        << "cannot store a policy value";
}

Bytes StringBlock(const std::vector<std::wstring>& entries)
{
    Bytes block;
    for (const std::wstring& entry : entries) {
        const Bytes length = Utf16(std::wstring(1, static_cast<wchar_t>(entry.size())), false);
        const Bytes text = Utf16(entry, false);
        block.insert(block.end(), length.begin(), length.end());
        block.insert(block.end(), text.begin(), text.end());
    }
    return block;
}

Bytes ReadStringBlock(HMODULE library, WORD block)
{
    HRSRC found = ::FindResourceExW(library, RT_STRING, MAKEINTRESOURCEW(block), kSampleLanguage);
    const auto* data = found ? static_cast<const BYTE*>(::LockResource(::LoadResource(library, found))) : nullptr;
    return data ? Bytes(data, data + ::SizeofResource(library, found)) : Bytes();
}

std::wstring BuiltLibrary(const wchar_t* name)
{
    wchar_t program[MAX_PATH] = {};
    const std::wstring path(program, ::GetModuleFileNameW(nullptr, program, MAX_PATH));
    return path.substr(0, path.rfind(L'\\')) + L"\\..\\resource_libraries\\" + name + L".dll";
}

namespace {

Bytes ReadWholeFile(const std::wstring& path)
{
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return in ? Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()) : Bytes();
}

template <typename T>
bool ReadAt(const Bytes& file, size_t offset, T& value)
{
    if (offset > file.size() || file.size() - offset < sizeof(T)) return false;
    std::memcpy(&value, file.data() + offset, sizeof(T));
    return true;
}

// The file offset of the bytes at `rva`, through the section table.
std::optional<size_t> FileOffsetOfRva(const Bytes& file, size_t sectionTable, WORD sections, DWORD rva)
{
    for (WORD i = 0; i < sections; ++i) {
        IMAGE_SECTION_HEADER section{};
        if (!ReadAt(file, sectionTable + i * sizeof section, section)) return std::nullopt;
        const DWORD span = std::max(section.Misc.VirtualSize, section.SizeOfRawData);
        if (rva >= section.VirtualAddress && rva - section.VirtualAddress < span) {
            return section.PointerToRawData + (rva - section.VirtualAddress);
        }
    }
    return std::nullopt;
}

// The first entry of the resource directory at `directory` whose name is the
// integer `id` (any, when id is 0); its raw offset field.
std::optional<DWORD> DirectoryEntry(const Bytes& file, size_t directory, WORD id)
{
    IMAGE_RESOURCE_DIRECTORY header{};
    if (!ReadAt(file, directory, header)) return std::nullopt;
    const size_t count = header.NumberOfNamedEntries + header.NumberOfIdEntries;
    for (size_t i = 0; i < count; ++i) {
        DWORD entry[2] = {};
        if (!ReadAt(file, directory + sizeof header + i * sizeof entry, entry)) return std::nullopt;
        if (id == 0 || entry[0] == id) return entry[1];
    }
    return std::nullopt;
}

// Resources with integer type, name and language, as the samples hold them.
using ResourceKey = std::tuple<WORD, WORD, WORD>;
using ResourceMap = std::map<ResourceKey, Bytes>;

BOOL CALLBACK AddLanguage(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR context)
{
    HRSRC found = ::FindResourceExW(module, type, name, language);
    const auto* data = found ? static_cast<const BYTE*>(::LockResource(::LoadResource(module, found))) : nullptr;
    if (!data || !IS_INTRESOURCE(type) || !IS_INTRESOURCE(name)) return FALSE;
    const ResourceKey key{static_cast<WORD>(reinterpret_cast<ULONG_PTR>(type)),
                          static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name)), language};
    (*reinterpret_cast<ResourceMap*>(context))[key] = Bytes(data, data + ::SizeofResource(module, found));
    return TRUE;
}

BOOL CALLBACK AddName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR context)
{
    return ::EnumResourceLanguagesW(module, type, name, AddLanguage, context);
}

BOOL CALLBACK AddType(HMODULE module, LPWSTR type, LONG_PTR context)
{
    return ::EnumResourceNamesW(module, type, AddName, context);
}

}  // namespace

bool WriteLibraryCopy(const wchar_t* sample, const std::wstring& target, const std::vector<ResourceEdit>& edits,
                      bool dropAll)
{
    if (!::CopyFileW(BuiltLibrary(sample).c_str(), target.c_str(), FALSE)) return false;
    // The update functions do not delete a resource here: the copy starts
    // without any, and every resource that stays is written again.
    ResourceMap resources;
    if (!dropAll) {
        HMODULE image = ::LoadLibraryExW(BuiltLibrary(sample).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (!image) return false;
        const bool read = ::EnumResourceTypesW(image, AddType, reinterpret_cast<LONG_PTR>(&resources));
        ::FreeLibrary(image);
        if (!read) return false;
    }
    for (const ResourceEdit& edit : edits) {
        const ResourceKey key{static_cast<WORD>(reinterpret_cast<ULONG_PTR>(edit.type)), edit.name, edit.language};
        if (edit.data) {
            resources[key] = *edit.data;
        } else {
            resources.erase(key);
        }
    }
    HANDLE update = ::BeginUpdateResourceW(target.c_str(), TRUE);
    if (!update) return false;
    bool ok = true;
    std::vector<WORD> emptyBlocks;
    for (auto& [key, data] : resources) {
        const auto [type, name, language] = key;
        // Nor do they take empty data: two bytes go in, and the entry's size
        // is set to 0 afterwards.
        if (data.empty()) {
            ok = ok && type == reinterpret_cast<ULONG_PTR>(RT_STRING);
            emptyBlocks.push_back(name);
            data.assign(2, 0);
        }
        ok = ok && ::UpdateResourceW(update, MAKEINTRESOURCEW(type), MAKEINTRESOURCEW(name), language, data.data(),
                                     static_cast<DWORD>(data.size()));
    }
    ok = ::EndUpdateResourceW(update, !ok) && ok;
    for (WORD block : emptyBlocks) ok = ok && PatchStringBlockEntry(target, block, 0, std::nullopt);
    return ok;
}

bool PatchStringBlockEntry(const std::wstring& path, WORD block, std::optional<DWORD> size,
                           std::optional<DWORD> address)
{
    Bytes file = ReadWholeFile(path);
    IMAGE_DOS_HEADER dos{};
    IMAGE_NT_HEADERS nt{};
    if (!ReadAt(file, 0, dos) || !ReadAt(file, static_cast<size_t>(dos.e_lfanew), nt)) return false;
    const size_t sectionTable = static_cast<size_t>(dos.e_lfanew) + offsetof(IMAGE_NT_HEADERS, OptionalHeader) +
                                nt.FileHeader.SizeOfOptionalHeader;
    const DWORD resourceRva = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].VirtualAddress;
    const std::optional<size_t> root = FileOffsetOfRva(file, sectionTable, nt.FileHeader.NumberOfSections, resourceRva);
    if (!root) return false;
    // Type, name, language: the first two levels lead to directories, the
    // third to the data entry.
    size_t position = *root;
    const WORD path_ids[] = {static_cast<WORD>(reinterpret_cast<ULONG_PTR>(RT_STRING)), block, 0};
    for (WORD id : path_ids) {
        const std::optional<DWORD> offset = DirectoryEntry(file, position, id);
        if (!offset) return false;
        position = *root + (*offset & 0x7FFFFFFF);
    }
    IMAGE_RESOURCE_DATA_ENTRY entry{};
    if (!ReadAt(file, position, entry)) return false;
    if (size) entry.Size = *size;
    if (address) entry.OffsetToData = *address;
    std::memcpy(file.data() + position, &entry, sizeof entry);
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    return static_cast<bool>(out);
}

GuardedBytes::GuardedBytes()
{
    SYSTEM_INFO system{};
    ::GetSystemInfo(&system);
    pages_ = static_cast<BYTE*>(
        ::VirtualAlloc(nullptr, 2 * system.dwPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    DWORD previous = 0;
    if (!pages_ || !::VirtualProtect(pages_ + system.dwPageSize, system.dwPageSize, PAGE_NOACCESS, &previous)) {
        ADD_FAILURE() << "cannot set up a guard page";
    }
}

GuardedBytes::~GuardedBytes()
{
    if (pages_) ::VirtualFree(pages_, 0, MEM_RELEASE);
}

const void* GuardedBytes::Place(const Bytes& bytes)
{
    SYSTEM_INFO system{};
    ::GetSystemInfo(&system);
    BYTE* start = pages_ + system.dwPageSize - bytes.size();
    std::copy(bytes.begin(), bytes.end(), start);
    return start;
}

void Mutate(Bytes& bytes, Dice& dice)
{
    const WORD lengths[] = {0, 1, 2, 0x7FFF, 0x8000, 0xFFFE, 0xFFFF};
    for (size_t round = 1 + dice.Below(4); round > 0; --round) {
        switch (dice.Below(5)) {
        case 0:  // one bit
            if (!bytes.empty()) bytes[dice.Below(bytes.size())] ^= static_cast<BYTE>(1u << dice.Below(8));
            break;
        case 1:  // a length word (or any aligned word) set to a hostile value
            if (bytes.size() >= 2) {
                const size_t at = dice.Below(bytes.size() / 2) * 2;
                const WORD value = dice.OneIn(3) ? static_cast<WORD>(dice.Below(0x10000)) : dice.Pick(lengths);
                std::memcpy(bytes.data() + at, &value, sizeof value);
            }
            break;
        case 2:  // cut, oddly or not
            bytes.resize(bytes.empty() ? 0 : dice.Below(bytes.size() + 1));
            break;
        case 3:  // random bytes behind
            for (size_t n = dice.Below(9); n > 0; --n) bytes.push_back(dice.Byte());
            break;
        default:  // one byte anything
            if (!bytes.empty()) bytes[dice.Below(bytes.size())] = dice.Byte();
            break;
        }
    }
}

}  // namespace quorvex::test
